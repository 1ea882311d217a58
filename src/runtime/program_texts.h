// Every text of the program that the user reads, in the tool's code page (GBK), like the texts
// that come from the service. program_texts.cpp is compiled with GBK as its execution character
// set, so its source stays readable while the program holds the bytes the window decodes.
#pragma once

namespace ostrevan::texts {

// Results list.
extern const char kStatusFetching[];  // 正在获取
extern const char kStatusDone[];      // 获取完毕
extern const char kStatusFailed[];    // 获取失败

// Information boxes.
extern const char kChooseFirst[];             // 请先做出选择！
extern const char kNicknamesDone[];           // 昵称获取完毕！
extern const char kAvatarsDone[];             // 头像获取完毕！
extern const char kDone[];                    // 完毕!
extern const char kNicknameFileNotWritten[];  // followed by the file's path
extern const char kNicknameFileNotEmptied[];  // followed by the file's path
extern const char kAvatarFolderNotEmptied[];  // followed by the folder's path
extern const char kLauncherRefused[];

// The fatal error box.
extern const char kErrorCaption[];
extern const char kReportHeading[];
extern const char kReportCode[];
extern const char kReportMessage[];
extern const char kIndexBelowOne[];
extern const char kIndexBeyondCount[];
extern const char kAllocationFailedBefore[];  // 分配 N 字节内存失败!, the part before N
extern const char kAllocationFailedAfter[];   // the part after N
extern const char kWindowNotLoaded[];

}  // namespace ostrevan::texts
