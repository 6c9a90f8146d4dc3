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

// A new temporary file beside the file that path names (symbolic links followed), with *target the
// name it is to take; *exists tells whether that is an existing regular file. Null with *direct set
// when path is no regular file and is written directly; null with errno set otherwise when no file can
// be made beside it.
FILE *osdep_sys_open_temp(const char *path, std::string *temp_path, std::string *target, bool *direct,
                          bool *exists);
// Renames temp_path over target; -1 with errno set on failure.
int osdep_sys_replace(const char *temp_path, const char *target);

// The temporary files not yet renamed or removed (temp_path of open outputs; null where free), for
// the handler that removes them when a signal ends the process.
constexpr int osdep_max_pending = 4;
extern const char *volatile osdep_pending[osdep_max_pending];
// Installs that handler for SIGINT, SIGTERM and SIGHUP, where the system has them, once; a signal
// that the process ignores stays ignored.
void osdep_sys_guard_signals();
// Holds those signals back (hold) or lets them in again, so that a temporary file is never made
// before the handler can see its name.
void osdep_sys_hold_signals(bool hold);

// Gives f, a new temporary file, size bytes with their blocks reserved (a full disk or a file size
// limit fails here, not while the pages are written back) and maps it shared for reading and writing.
// Null where the system cannot: the caller builds the image in memory instead.
uint8_t *osdep_sys_map_output(FILE *f, uint32_t size);
void osdep_sys_unmap_output(uint8_t *bytes, uint32_t size);
// Writes n bytes from src at offset off of f, past its buffer, then maps them at mapping + off for the
// writes to come; -1 with errno set on failure.
int osdep_sys_put(FILE *f, uint8_t *mapping, uint64_t off, const uint8_t *src, size_t n);
