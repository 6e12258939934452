#pragma once
// The software list on disk, read and written through handles in a held
// folder (base/held_folder.h). It is read through the C runtime's text mode
// and written as that mode stores text (each LF as CR LF): the line-end
// translation is part of the list's format.

#include <string>

#include "base/held_folder.h"
#include "registration/software_list.h"

// Reads the list `name` in the held folder into `list`. True with an empty
// list when there is no such file; false, and nothing must be written, for a
// list that is not plainly ours (see OpenInFolder) or cannot be read, and for
// one larger than kMaxListBytes, however it grows while it is read.
bool ReadSoftwareListIn(const HeldFolder& folder, const std::wstring& name, SoftwareList& list);

// Replaces the list `name` in the held folder with the written form of
// `list`: written to "<name>.tmp" beside it, which replaces it by a rename
// through its handle only once it is complete; on any failure the list keeps
// its old content and the temporary file is removed. A list that another
// program holds open cannot be replaced and is written in place instead,
// through a handle that passed the same checks and never truncated first:
// stopped at any point (a crash, a kill, a full disk), it still holds every
// record it held before as ScanSoftwareList reads them: the old bytes whole,
// or a whole copy of the new list after what stands before it, so that
// records may read twice. A
// read-only, hidden or system
// list, and one that is not plainly ours, is left as it is. Reports nothing.
void WriteSoftwareListIn(const HeldFolder& folder, const std::wstring& name,
                         const SoftwareList& list);
