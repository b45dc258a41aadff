#pragma once
// The emulators' logs, read alike: one record a line, its fields separated by
// blanks, each emulator's record type reading its own fields; a line that does
// not read whole (one the emulator is still writing) is left out.
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

// Reads the log at `path` with `read(fields, record)`, which returns false
// for a line that is not a whole record.
template <class Record, class Read>
std::vector<Record> ReadDeviceLog(const std::string &path, Read read)
{
    std::vector<Record> records;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        Record record{};
        if (read(fields, record))
            records.push_back(std::move(record));
    }
    return records;
}

// The records whose `name` field is `name` (every one for an empty name), of
// `pid` (every process for 0).
template <class Record>
std::vector<Record> RecordsOf(const std::vector<Record> &log, std::string Record::*field, const std::string &name,
                              int pid)
{
    std::vector<Record> out;
    for (const Record &r : log)
        if ((name.empty() || r.*field == name) && (pid == 0 || r.Pid == pid))
            out.push_back(r);
    return out;
}
