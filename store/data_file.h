// The data file "psdata/morvelt.ini": every record as a header line "[KEYNAME:STAMP]" (the key
// name, the stamp as 10 zero-padded digits) followed by one "name=value" line per variable in
// index order, each line ending with a line feed. docs/DATA_FILE.md describes it for operators.
#pragma once

namespace store {

constexpr char kDataDir[] = "psdata";
constexpr char kDataPath[] = "psdata/morvelt.ini";
constexpr char kTempPath[] = "psdata/morvelt.ini.tmp";          // the next content, until renamed
constexpr char kBackupPath[] = "psdata/morvelt.ini.bak";        // the file as start-up found it
constexpr char kBackupTempPath[] = "psdata/morvelt.ini.bak.tmp";

enum class LoadResult {
    kRead,        // the file was read to its end
    kMissing,     // there is no file: nothing to keep
    kUnreadable,  // the file exists but could not be opened or read to its end
};

// Reads the data file into the record table: headers find or create records, variable lines
// set values of the current record. Records read before a read error stay. Unless the file is
// missing, the next saveStats first keeps the file as it is now at kBackupPath.
LoadResult loadStats();

// Replaces the data file, atomically and durably, with the content of the tables. Returns false,
// leaving the file exactly as it was and no temporary file behind, when any step fails or when
// the file found at start-up could not be kept aside yet.
bool saveStats();

// Forgets that the file found at start-up still has to be kept aside.
void resetBackupState();

}  // namespace store
