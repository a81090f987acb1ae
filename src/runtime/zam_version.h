// Program identity: the name and version number shown in banners and logs.
// The tool selects identity 5 at start-up, before any thread runs.
#pragma once

void set_version(int identity);
// "Name major.minor.patch" of the current identity. Both texts live in one
// 20-byte buffer of the calling thread that every call of either function
// in that thread rewrites.
char* zam_version();
char* zam_version_only();  // the version number alone
