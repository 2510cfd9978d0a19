// The two layouts of containers.  Container writers never write punctuation
// themselves; they call these operations, so compact and indented output
// differ only here:
//   open_container; for each member: begin_member (array members) or
//   member_key (object members, the key and its separator), value,
//   end_member; close_container.  An empty container: write_empty.
#pragma once

#include "serialize/buffer.hpp"
#include "serialize/per_type/str_value.hpp"

#include <cstring>

namespace kestro {

class SortedOrders;

// No whitespace anywhere outside string contents: [1,2,{"a":null}].
class CompactLayout {
  public:
    explicit CompactLayout(OutputBuffer& buf, SortedOrders* orders = nullptr) noexcept
        : buf_(buf), orders_(orders) {}

    OutputBuffer& buffer() const noexcept { return buf_; }
    // Sorted key orders remembered during the call; null when not kept.
    SortedOrders* sorted_orders() const noexcept { return orders_; }

    [[gnu::always_inline]] Status open_container(char bracket) noexcept {
        if (Status s = buf_.reserve(128); s.failed()) [[unlikely]]
            return s;
        buf_.put(bracket);
        return Status::ok();
    }
    // The comma needs no reservation of its own: the last write left room.
    [[gnu::always_inline]] Status begin_member(bool first) noexcept {
        if (!first) buf_.put(',');
        return Status::ok();
    }
    // The comma, the key and the colon under one reservation, written from a
    // local cursor.
    [[gnu::always_inline]] Status member_key(bool first, const char* key, size_t len) noexcept {
        if (Status s = buf_.reserve(8 * len + 34); s.failed()) [[unlikely]]
            return s;
        char* p = buf_.cursor();
        *p = ',';
        p = put_quoted(p + !first, key, len);
        *p = ':';
        buf_.set_cursor(p + 1);
        return Status::ok();
    }
    // For writers that lay out many array members under one reservation:
    // the room one member's start takes, and writing it at p.
    static constexpr size_t member_start_room() noexcept { return 1; }
    [[gnu::always_inline]] static char* member_start(char* p, bool first) noexcept {
        *p = ',';
        return p + !first;
    }
    [[gnu::always_inline]] void end_member() noexcept {}
    [[gnu::always_inline]] Status close_container(char bracket) noexcept {
        if (Status s = buf_.reserve(128); s.failed()) [[unlikely]]
            return s;
        buf_.put(bracket);
        return Status::ok();
    }
    [[gnu::always_inline]] Status write_empty(const char* pair) noexcept {
        if (Status s = buf_.reserve(34); s.failed()) [[unlikely]]
            return s;
        buf_.put2(pair);
        return Status::ok();
    }

  private:
    OutputBuffer& buf_;
    SortedOrders* orders_;
};

// Two spaces per open container, every member on its own line, ": " after
// keys.  has_value is one flag for all levels: a container that began no
// member closes right after its opening bracket.
struct IndentState {
    OutputBuffer* output;
    size_t level = 0;
    bool has_value = false;
};

class IndentedLayout {
  public:
    explicit IndentedLayout(OutputBuffer& buf, SortedOrders* orders = nullptr) noexcept
        : state_{&buf}, orders_(orders) {}

    OutputBuffer& buffer() const noexcept { return *state_.output; }
    SortedOrders* sorted_orders() const noexcept { return orders_; }
    const IndentState& state() const noexcept { return state_; }

    Status open_container(char bracket) noexcept {
        state_.level += 1;
        state_.has_value = false;
        if (Status s = buffer().reserve(128); s.failed()) [[unlikely]]
            return s;
        buffer().put(bracket);
        return Status::ok();
    }
    Status begin_member(bool first) noexcept {
        OutputBuffer& buf = buffer();
        if (Status s = buf.reserve(2 * state_.level + indent_slack); s.failed()) [[unlikely]]
            return s;
        buf.set_cursor(new_line(buf.cursor(), first));
        return Status::ok();
    }
    // The line of a member up to its value under one reservation.
    Status member_key(bool first, const char* key, size_t len) noexcept {
        OutputBuffer& buf = buffer();
        if (Status s = buf.reserve(2 * state_.level + indent_slack + 8 * len + 32); s.failed())
            [[unlikely]]
            return s;
        char* p = put_quoted(new_line(buf.cursor(), first), key, len);
        std::memcpy(p, ": ", 2);
        buf.set_cursor(p + 2);
        return Status::ok();
    }
    size_t member_start_room() const noexcept { return 2 * state_.level + indent_slack; }
    char* member_start(char* p, bool first) const noexcept { return new_line(p, first); }
    void end_member() noexcept { state_.has_value = true; }
    Status close_container(char bracket) noexcept {
        OutputBuffer& buf = buffer();
        state_.level -= 1;
        if (Status s = buf.reserve(2 * state_.level + indent_slack); s.failed()) [[unlikely]]
            return s;
        char* p = buf.cursor();
        if (state_.has_value) {
            *p++ = '\n';
            p = indent(p);
        }
        *p = bracket;
        buf.set_cursor(p + 1);
        return Status::ok();
    }
    Status write_empty(const char* pair) noexcept {
        if (Status s = buffer().reserve(34); s.failed()) [[unlikely]]
            return s;
        buffer().put2(pair);
        return Status::ok();
    }

  private:
    // Room for a separator, a newline and the indentation rounded up to
    // whole 32-byte runs of spaces, with the usual 30 bytes to spare.
    static constexpr size_t indent_slack = 2 + 32 + 32;

    // Whole 32-byte runs: a few fixed-size stores instead of a call for the
    // short indentations of ordinary nesting.  Returns the end of the
    // indentation.
    char* indent(char* p) const noexcept {
        static constexpr char spaces[33] = "                                ";
        const size_t n = 2 * state_.level;
        for (size_t done = 0; done < n; done += 32) std::memcpy(p + done, spaces, 32);
        return p + n;
    }

    // The comma unless first, the newline and the indentation at p.
    char* new_line(char* p, bool first) const noexcept {
        *p = ',';
        p += !first;
        *p++ = '\n';
        return indent(p);
    }

    IndentState state_;
    SortedOrders* orders_;
};

}  // namespace kestro
