// Turns a fuzz input into one factorization case: CSR arrays, n, seed, split and a solve.
//
// Layout (every read past the end yields zeros, so any byte string decodes):
//   byte 0      flags: bits 0-1 kind (0 raw arrays, 1 and 3 graph, 2 graph with one corruption),
//               bit 2 split present, bit 3 mirror every off-diagonal entry,
//               bit 4 set each diagonal to minus its row's off-diagonal sum plus an excess
//   byte 1      split value (0..8; 0 is refused by the core)
//   bytes 2-9   seed, little-endian
//   byte 10     right-hand side length selector (length = byte mod (n + 3), may exceed n)
//   byte 11     work length selector (n - 1 when divisible by 8, otherwise n + byte mod 4)
//   raw kind:   n as an index, three byte counts (row_ptrs, col_indices, values), then the
//               entries: indices and values as below
//   graph kind: n (one byte), entry count (two bytes, mod 2048), then per entry a row byte, a
//               column byte (both mod n) and a value; with bit 4, one excess value per row;
//               kind 2 then reads a corruption opcode and two operand bytes
//   the remaining bytes feed the right-hand side values.
// Index: a byte below 0xF0 is its own value, otherwise four little-endian bytes follow.
// Value: 0..15 pick a special (zeros, ones, NaN, infinities, tiny, huge), 16..239 give
// (byte - 128) / 16, 240..255 are followed by eight raw bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

namespace fuzzcase {

class Reader {
public:
    Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool empty() const { return pos_ >= size_; }
    uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint64_t u64() {
        uint64_t v = 0;
        for (int i = 0; i < 8; ++i) v |= uint64_t{byte()} << (8 * i);
        return v;
    }
    uint32_t u32() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= uint32_t{byte()} << (8 * i);
        return v;
    }
    uint32_t index() {
        const uint8_t b = byte();
        return b < 0xF0 ? b : u32();
    }
    double value() {
        static constexpr double kInf = std::numeric_limits<double>::infinity();
        static constexpr double kSpecial[16] = {0.0,  -0.0,    1.0,     -1.0,     0.5,    -0.5,
                                                2.0,  -2.0,    std::numeric_limits<double>::quiet_NaN(),
                                                kInf, -kInf,   1e-300,  -1e-300,  1e300,  -1e300,
                                                1e-15};
        const uint8_t b = byte();
        if (b < 16) return kSpecial[b];
        if (b < 240) return (static_cast<double>(b) - 128.0) / 16.0;
        const uint64_t bits = u64();
        double d;
        std::memcpy(&d, &bits, sizeof d);
        return d;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

struct Case {
    std::vector<uint32_t> row_ptrs;
    std::vector<uint32_t> col_indices;
    std::vector<double> values;
    uint32_t n = 0;
    uint64_t seed = 0;
    bool has_split = false;
    uint32_t split = 0;
    uint8_t rhs_selector = 0;
    uint8_t work_selector = 0;
    std::vector<double> rhs_values;

    // The right-hand side for a factor of internal dimension n: up to n + 2 elements.
    std::vector<double> rhs_for(uint64_t n_internal) const {
        const uint64_t len = rhs_selector % (n_internal + 3);
        std::vector<double> rhs(len);
        for (uint64_t i = 0; i < len; ++i) {
            rhs[i] = i < rhs_values.size() ? rhs_values[i] : static_cast<double>(i % 7) - 3.0;
        }
        return rhs;
    }
    uint64_t work_len_for(uint64_t n_internal) const {
        if (work_selector % 8 == 0 && n_internal > 0) return n_internal - 1;
        return n_internal + work_selector % 4;
    }
};

namespace detail {

inline void build_graph_case(Reader& in, Case& c, bool mirror, bool laplacian) {
    const uint32_t n = in.byte();
    c.n = n;
    const uint32_t count = (uint32_t{in.byte()} | (uint32_t{in.byte()} << 8)) % 2048;
    std::vector<std::vector<std::pair<uint32_t, double>>> rows(n);
    if (n > 0) {
        for (uint32_t e = 0; e < count && !in.empty(); ++e) {
            const uint32_t i = in.byte() % n;
            const uint32_t j = in.byte() % n;
            const double x = in.value();
            rows[i].emplace_back(j, x);
            if (mirror && i != j) rows[j].emplace_back(i, x);
        }
    }
    if (laplacian) {
        for (uint32_t i = 0; i < n; ++i) {
            double off = 0.0;
            for (const auto& [j, x] : rows[i]) {
                if (j != i) off += x;
            }
            const double excess = in.value();
            // Put the diagonal in the middle of the row, so its position varies with the row.
            rows[i].insert(rows[i].begin() + static_cast<std::ptrdiff_t>(rows[i].size() / 2), {i, -off + excess});
        }
    }
    c.row_ptrs.assign(1, 0);
    for (uint32_t i = 0; i < n; ++i) {
        for (const auto& [j, x] : rows[i]) {
            c.col_indices.push_back(j);
            c.values.push_back(x);
        }
        c.row_ptrs.push_back(static_cast<uint32_t>(c.col_indices.size()));
    }
}

inline void corrupt(Reader& in, Case& c) {
    const uint8_t op = in.byte() % 9;
    const uint8_t a = in.byte();
    const uint8_t b = in.byte();
    auto& rp = c.row_ptrs;
    auto& ci = c.col_indices;
    switch (op) {
        case 0:
            rp[a % rp.size()] += uint32_t{b} + 1;
            break;
        case 1:
            if (!ci.empty()) ci[a % ci.size()] = c.n + b;
            break;
        case 2:
            if (!c.values.empty()) c.values.pop_back();
            break;
        case 3:
            rp.pop_back();
            break;
        case 4:
            ci.push_back(b);
            break;
        case 5:
            rp[0] = uint32_t{b} + 1;
            break;
        case 6: {
            const size_t x = a % rp.size();
            const size_t y = b % rp.size();
            std::swap(rp[x], rp[y]);
            break;
        }
        case 7:
            c.n = (a & 1) ? c.n + 1 : c.n - 1;  // the claimed n no longer matches (wraps at 0)
            break;
        default:
            c.n = 0xFFFFFFFFu - b;  // a huge claimed n over tiny arrays
            break;
    }
}

}  // namespace detail

inline Case decode(const uint8_t* data, size_t size) {
    Reader in(data, size);
    Case c;
    const uint8_t flags = in.byte();
    const uint8_t split_byte = in.byte();
    c.seed = in.u64();
    c.rhs_selector = in.byte();
    c.work_selector = in.byte();
    c.has_split = (flags & 4) != 0;
    c.split = split_byte % 9;
    const int kind = flags & 3;
    if (kind == 0) {
        c.n = in.index();
        const uint8_t lens[3] = {in.byte(), in.byte(), in.byte()};
        for (uint8_t i = 0; i < lens[0]; ++i) c.row_ptrs.push_back(in.index());
        for (uint8_t i = 0; i < lens[1]; ++i) c.col_indices.push_back(in.index());
        for (uint8_t i = 0; i < lens[2]; ++i) c.values.push_back(in.value());
    } else {
        detail::build_graph_case(in, c, (flags & 8) != 0, (flags & 16) != 0);
        if (kind == 2) detail::corrupt(in, c);
    }
    while (!in.empty() && c.rhs_values.size() < 512) c.rhs_values.push_back(in.value());
    return c;
}

}  // namespace fuzzcase
