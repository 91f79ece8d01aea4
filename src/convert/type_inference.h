// Type inference for the RFC 4180 conversion: which columns every cell of the
// input keeps exactly as Int, Float or Bool. It reads every record once,
// before the conversion proper, so on a plain file it reads byte ranges of
// the file on several threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/result.h"
#include "convert/csv_converter.h"
#include "csv/csv_records.h"
#include "csv/input_stream.h"

namespace varn {

// Which types every cell of a column seen so far keeps exactly.
struct ColumnGuess {
    bool int_ok = true;
    bool float_ok = true;
    bool bool_ok = true;
    bool any() const { return int_ok || float_ok || bool_ok; }
    void see(const uint8_t* p, size_t n);
    // The guess of a column whose cells are those of both.
    void merge(const ColumnGuess& o) {
        int_ok &= o.int_ok;
        float_ok &= o.float_ok;
        bool_ok &= o.bool_ok;
    }
    uint8_t type(uint64_t rows) const;
};

struct TypeGuesses {
    std::vector<ColumnGuess> columns;
    uint64_t data_rows = 0;
};

// Reads the records after the header from `reader` (which has just given the
// header, `columns` fields), checking each cell and the field count.
//
// With `threads` > 1 and `in` a regular file of uncompressed text at `path`
// long enough to be worth it, the file is read instead in byte ranges, one
// thread each, every range from its first line start. A range that did not
// start where the one before it ended (a quoted field holding a line break
// crossed the boundary) is read again from there. Any failure in a range
// leaves the whole pass to `reader`, which reports it as a single reader
// does: the same message, the same line.
struct RangeSizes {
    uint64_t min_text = uint64_t{16} << 20;  // less text after the header is read by `reader`
    uint64_t most = uint64_t{64} << 20;      // per range; at least one range per thread
};
// `long_row_hint` goes into the error for a row longer than the header.
// Transcoded text is read by `reader` alone; the ranges skip the comment
// lines `reader` skips and refuse the records longer than its record limit.
Result<TypeGuesses> guess_types(CsvRecordReader& reader, const InputStream& in, const std::string& path,
                                size_t columns, ExtraFields extra, unsigned threads,
                                const RangeSizes& sizes = {}, const std::string& long_row_hint = {});

}  // namespace varn
