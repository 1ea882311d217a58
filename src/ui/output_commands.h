// The five buttons that open and empty what the batches leave behind. Window thread only.
#pragma once

#include "engine/results_table.h"

namespace ostrevan {

void ViewNicknameFile();
void EmptyNicknameFile();
void EmptyAvatarFolder();
void ViewAvatarFolder();
void ClearResultsList(ResultsTable& table);

}  // namespace ostrevan
