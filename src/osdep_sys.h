// Between osdep.cpp and its system halves, osdep_posix.cpp and osdep_win32.cpp: the steps that differ
// by system, beneath the parts that every system shares.
#pragma once

#include <cstdio>
#include <string>

#include "osdep.h"

// Maps path read-only into in; false where it cannot be mapped (not a file on disk, empty, or any
// failure), and the caller reads a copy instead.
bool osdep_sys_map(osdep_input *in, const char *path);
void osdep_sys_unmap(osdep_input *in);

// A new temporary file beside the file that path names, with *target the name it is to take; null when
// path is written directly (it is no regular file) or no file can be made beside it.
FILE *osdep_sys_open_temp(const char *path, std::string *temp_path, std::string *target);
// Renames temp_path over target; -1 with errno set on failure.
int osdep_sys_replace(const char *temp_path, const char *target);
