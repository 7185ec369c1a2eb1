// The Windows side of the bootstrap folder's checks: what an access list
// says about who may change a folder.
#pragma once

#include "win_util.h"

// Whether an access list lets everyone (Everyone, Authenticated Users or
// Users) write a folder: add or remove entries, or change its access list or
// owner. A null list grants everything.
bool grantsWriteToAll(PACL acl);
