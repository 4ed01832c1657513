// Where the shipper reads the station's records: the production log file itself, read from a
// position on, so that a station that was killed ships, at its next start, whatever the database
// lacks (the log is the outbox; nothing is kept in memory that the file does not hold).
//
// The engine owns the log and appends to it; the shipper only reads it, through a handle of its
// own, on its own thread. The engine tells the shipper after each append (Shipper::Notify) so
// that it reads at once; the file is the only way records travel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "fleet_row.h"

namespace pelorin::fleet {

// The shipper's view of the log. Called on the shipper's thread only.
class FleetLogSource {
 public:
  virtual ~FleetLogSource() = default;

  // A line of the log that names this log but is no record the database can take (a field
  // missing or wrong): it is never shipped, and the shipper raises an alarm for it once.
  struct BadLine {
    uint64_t sequence = 0;  // as the line names it
    std::string why;
  };
  // Up to `max` records of this log whose sequence is above `after`, in the log's order (which is
  // sequence order). `bad` gets the lines skipped on the way. False when the file could not be
  // read (`error` says why); then nothing is returned.
  virtual bool Read(uint64_t after, size_t max, std::vector<FleetRow>* rows,
                    std::vector<BadLine>* bad, std::string* error) = 0;
  // How many records of this log the file holds above `after` (the operator's "records
  // waiting"). False when the file could not be read.
  virtual bool CountAfter(uint64_t after, uint64_t* count, std::string* error) = 0;
  // The highest sequence of this log's records in the file (0: none). False when the file could
  // not be read.
  virtual bool LastSequence(uint64_t* last, std::string* error) = 0;
};

// Reads bytes of a file at a position, while another program may append to it. Windows: a read
// handle of the log (log_file_reader_win32.h); tests: a string that grows.
class ByteReader {
 public:
  virtual ~ByteReader() = default;
  // The file's size now. False on an error (`error` says which).
  virtual bool Size(uint64_t* size, std::string* error) = 0;
  // Up to `size` bytes at `offset` into `buffer`; `got` 0 at the end. False on a read error.
  virtual bool ReadAt(uint64_t offset, char* buffer, size_t size, size_t* got,
                      std::string* error) = 0;
};

// The production log file as a FleetLogSource for the log with identity `log`.
//
// It reads the file once from the start (a line's "log" and "sequence" are picked out without
// parsing it) and from then on only what was appended: it keeps the sequences of this log's
// records as runs (for CountAfter) and the position of every 256th (for Read, which goes back to
// the nearest one below the sequence asked for, so that a database that lost records is sent
// them again). Lines are parsed in full only when read for the database.
//
// A line is taken only once it ends with a newline, or when it is the file's last and holds a
// whole JSON object (a record that lost its newline when the writer died). What is not a record
// of this log is counted and never shipped: records of a log without identity (written before
// logs had one), records of another log, and lines that are not records (a torn write).
class LogFileSource : public FleetLogSource {
 public:
  LogFileSource(std::string log, std::unique_ptr<ByteReader> file);

  bool Read(uint64_t after, size_t max, std::vector<FleetRow>* rows, std::vector<BadLine>* bad,
            std::string* error) override;
  bool CountAfter(uint64_t after, uint64_t* count, std::string* error) override;
  bool LastSequence(uint64_t* last, std::string* error) override;

  // What the reading has passed over so far (for the operator and the tests).
  struct Skipped {
    uint64_t withoutIdentity = 0;  // lines of a log without identity
    uint64_t otherLog = 0;         // records of another log
    uint64_t notRecords = 0;       // lines that are no record (torn, garbage)
  };
  Skipped skipped() const { return skipped_; }

 private:
  static constexpr uint64_t kIndexEvery = 256;
  static constexpr size_t kChunk = 1 << 16;

  // Reads the file from scanned_ to its end, noting this log's records.
  bool Scan(std::string* error);
  void Note(uint64_t sequence, uint64_t offset);
  // Takes `sequence` out of the runs (a line that turned out to be no record).
  void Unnote(uint64_t sequence);
  // Calls `line(text, offset)` for each line from `offset` up to scanned_; stops when it returns
  // false.
  template <class LineFn>
  bool Lines(uint64_t offset, uint64_t end, LineFn line, std::string* error);

  const std::string log_;
  std::unique_ptr<ByteReader> file_;
  uint64_t scanned_ = 0;  // the file's bytes up to here are lines that were looked at
  std::map<uint64_t, uint64_t> runs_;   // first sequence -> last sequence of a run
  std::map<uint64_t, uint64_t> index_;  // sequence -> offset of its line
  uint64_t noted_ = 0;                  // records of this log noted (for the index)
  std::set<uint64_t> bad_;              // sequences of lines found to be no record (told once)
  Skipped skipped_;
};

}  // namespace pelorin::fleet
