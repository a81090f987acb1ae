// Program identity: the name and version number shown in banners and logs.
// The tool selects identity 5 at start-up, before any thread runs.
#pragma once

void set_version(int identity);
// "Name major.minor.patch" of the current identity. Both texts live in one
// static buffer of 20 bytes that every call of either function rewrites.
char* zam_version();
char* zam_version_only();  // the version number alone
