#pragma once
// The software list on disk, read and written through handles in a held
// folder (base/held_folder.h). It is read and written as the C runtime's
// text mode stores text (each LF as CR LF, nothing after a 0x1A): the
// line-end translation is part of the list's format.

#include <functional>
#include <string>

#include "base/held_folder.h"
#include "registration/software_list.h"

// What a write makes of the list it has just read.
using ListChange = std::function<SoftwareList(SoftwareList)>;

// Reads the list `name` in the held folder into `list`. True with an empty
// list when there is no such file; false, and nothing must be written, for a
// list that is not plainly ours (see OpenInFolder), that cannot be read to
// its end, and for one larger than kMaxListBytes, however it grows while it
// is read.
bool ReadSoftwareListIn(const HeldFolder& folder, const std::wstring& name, SoftwareList& list);

// Reads the list `name` in the held folder and replaces it with the written
// form of change(list): written to "<name>.tmp" beside it, which replaces it
// by a rename through its handle only once it is complete; on any failure
// the list keeps its old content and the temporary file is removed. A list
// that another program holds open cannot be replaced and is written in place
// instead (registration/list_in_place.h), from change() of the bytes read
// again through the handle that writes them, so that nothing that program
// added meanwhile is lost. Nothing is written where the list cannot be read
// (ReadSoftwareListIn), nor where it is read-only, hidden or system, nor in
// place where PlanInPlace finds no safe way. True when the file holds the new
// list.
bool UpdateSoftwareListIn(const HeldFolder& folder, const std::wstring& name,
                          const ListChange& change);
