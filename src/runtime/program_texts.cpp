#include "runtime/program_texts.h"

namespace ostrevan::texts {

const char kStatusFetching[] = "正在获取";
const char kStatusDone[] = "获取完毕";
const char kStatusFailed[] = "获取失败";

const char kChooseFirst[] = "请先做出选择！";
const char kNicknamesDone[] = "昵称获取完毕！";
const char kAvatarsDone[] = "头像获取完毕！";
const char kDone[] = "完毕!";
const char kNicknameFileNotWritten[] = "昵称已获取，但无法写入昵称文件：";
const char kNicknameFileNotEmptied[] = "无法清空昵称文件：";
const char kAvatarFolderNotEmptied[] = "无法清空并重建头像文件夹：";
const char kLauncherRefused[] = "系统无法再启动线程，请稍后再试。";

const char kErrorCaption[] = "错误";
const char kReportHeading[] = "运行时出错!\r\n\r\n";
const char kReportCode[] = "错误代码：";
const char kReportMessage[] = "错误信息：";
const char kIndexBelowOne[] = "数组成员引用下标必须大于等于1";
const char kIndexBeyondCount[] = "数组成员引用下标超出定义范围";
const char kAllocationFailedBefore[] = "分配 ";
const char kAllocationFailedAfter[] = " 字节内存失败!";
const char kWindowNotLoaded[] = "载入启动窗口失败";

}  // namespace ostrevan::texts
