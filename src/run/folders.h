// folders: a folder given to the sender goes as the items under it, named
// from the folder's own name on, to a receiver that takes paths
// (doc/protocol.md, "Folders"); to any other, it is not a regular file, as
// ever.
#ifndef VELCOT_FOLDERS_H
#define VELCOT_FOLDERS_H

#include <deque>

#include "protocols/velcot/session.h"

// True for a folder given to the sender and not yet listed.
bool IsFolderArgument(const PendingFile& file);

// Replaces the folder given at the front of pending with its items where
// the receiver takes paths (an item whose name a FILE record cannot carry
// reported and left out), or reports it as not a regular file and drops
// it. *failed is set when anything given is not sent.
void TakeFolderArgument(std::deque<PendingFile>* pending, bool paths, bool* failed);

// Takes the next file a session can carry off the front of pending, with
// its name, the folders given before it listed first (*failed as above).
// False when pending is empty or its next file cannot be offered so.
bool TakeNextPending(std::deque<PendingFile>* pending, bool paths, bool* failed, PendingFile* next,
                     char* name);

// The name a file of pending is offered under: an item's path where paths
// are agreed, a file's base name. False when it cannot be offered so.
bool FormPendingName(const PendingFile& file, bool paths, char* name);

#endif
