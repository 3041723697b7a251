#include "run/folders.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "files/names.h"
#include "protocols/velcot/offer.h"

bool IsFolderArgument(const PendingFile& file) {
  return file.item == nullptr && IsFolder(file.path);
}

// An item whose name a FILE record cannot carry (over 255 bytes) is left
// out, as one a receiver would refuse.
static void ListCarriedItems(const std::vector<SendItem>& items, std::deque<PendingFile>* carried,
                             bool* failed) {
  for (const SendItem& item : items) {
    if (item.name.size() > kStreamNameMax) {
      ReportRefusedToSend(item.path.c_str(), item.name.c_str());
      *failed = true;
      continue;
    }
    auto kept = std::make_shared<const SendItem>(item);
    carried->push_back({kept->path.c_str(), false, kept});
  }
}

void TakeFolderArgument(std::deque<PendingFile>* pending, bool paths, bool* failed) {
  PendingFile given = pending->front();
  pending->pop_front();
  std::vector<SendItem> items;
  bool whole = true;
  if (!paths) {
    fprintf(stderr, "Couldn't send %s: not a regular file\n", EscapeForConsole(given.path).c_str());
    whole = false;
  } else if (!ListFolderToSend(given.path, &items, &whole)) {
    whole = false;
  }
  std::deque<PendingFile> carried;
  ListCarriedItems(items, &carried, failed);
  pending->insert(pending->begin(), carried.begin(), carried.end());
  if (!whole) *failed = true;
}

bool FormPendingName(const PendingFile& file, bool paths, char* name) {
  if (file.item == nullptr) return FormStreamName(file.path, name);
  if (!paths || file.item->name.size() > kStreamNameMax) return false;
  memcpy(name, file.item->name.c_str(), file.item->name.size() + 1);
  return true;
}

bool TakeNextPending(std::deque<PendingFile>* pending, bool paths, bool* failed, PendingFile* next,
                     char* name) {
  while (!pending->empty() && IsFolderArgument(pending->front()))
    TakeFolderArgument(pending, paths, failed);
  if (pending->empty() || !FormPendingName(pending->front(), paths, name)) return false;
  *next = pending->front();
  pending->pop_front();
  return true;
}
