// What the fuzz targets share: a scratch directory for the files the tool reads and writes, the exit
// hook that turns the tool's exits into a return to the harness, and the memory cap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzz {

// Thrown by the exit hook; the harness catches it where it called the tool.
struct exit_request {
    int status;
};

// A directory made once per process (removed at exit), holding the harness's files.
const std::string &scratch_dir();
// Replaces the file at path with size bytes of data; aborts when it cannot, as the run would mean nothing.
void write_file(const std::string &path, const uint8_t *data, size_t size);
// Makes pieshift_exit throw exit_request instead of ending the process.
void route_exits();

}  // namespace fuzz
