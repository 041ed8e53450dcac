#include "protocol/decode.h"

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

#include "base/bytes.h"
#include "json/read.h"

namespace dovek::protocol {
namespace {

using json::assign;
using json::Cursor;
using json::Tape;
using json::TokenKind;

// The commands' traits (fields::Table of each alternative, in proto.h), by
// alternative.
template <size_t I>
using Command = std::variant_alternative_t<I, CoreCommand>;
constexpr size_t kCommands = std::variant_size_v<CoreCommand>;

template <class Item, class Fn>
constexpr auto by_alternative(Fn&& fn) {
  return [&]<size_t... I>(std::index_sequence<I...>) {
    return std::array<Item, kCommands>{fn(std::type_identity<Command<I>>{})...};
  }(std::make_index_sequence<kCommands>{});
}

constexpr auto kTags = by_alternative<std::string_view>(
    []<class C>(std::type_identity<C>) { return fields::Table<C>::kTag; });
constexpr auto kShapes = by_alternative<json::RecordShape>(
    []<class C>(std::type_identity<C>) { return fields::kShape<C>; });

std::string unknown_variant(std::string_view name) {
  std::string out = "unknown variant `";
  out += name;
  out += "`, expected one of ";
  for (size_t i = 0; i < kTags.size(); ++i) {
    if (i) out += ", ";
    out += '`';
    out += kTags[i];
    out += '`';
  }
  return out;
}

// Checks the tag at token `index` the moment it is read.
Result<size_t> read_tag(const Tape& tape, size_t index) {
  Cursor c(tape, index, true);
  if (c.kind() != TokenKind::kString) return c.invalid_type("variant identifier");
  const std::string_view name = tape.string(tape[index]);
  for (size_t i = 0; i < kTags.size(); ++i) {
    if (bytes::equal(kTags[i], name)) return i;
  }
  return c.error(unknown_variant(name));
}

std::string element_count(size_t n, std::string_view what) {
  return std::to_string(n) + (n == 1 ? " element" : " elements") + std::string(what);
}

// A result holding the command of alternative `alt` with every field
// empty, built in its place, for the decoder to fill.
template <size_t I = 0>
Result<CoreCommand> empty_command(size_t alt) {
  if constexpr (I + 1 < kCommands) {
    if (alt != I) return empty_command<I + 1>(alt);
  }
  return Result<CoreCommand>(std::in_place, std::in_place_type<Command<I>>);
}

// Decodes field `i` (in the order of the command's table) straight into the
// command.
[[gnu::always_inline]] inline Status decode_field(size_t i, Cursor& c, CoreCommand& command,
                                                  size_t* tool_input) {
  return std::visit(
      [&]<class C>(C& cmd) [[gnu::always_inline]] -> Status {
        if constexpr (std::is_same_v<C, CallTool>) {
          if (tool_input != nullptr) {
            return assign(cmd.call, tool::decode_tool_call(c, *tool_input));
          }
          return assign(cmd.call, tool::decode_tool_call(c));
        } else {
          return fields::decode_field(i, c, cmd);
        }
      },
      command);
}

// Reads the text and its tag: the empty command of that kind, or the error.
Result<CoreCommand> start_command(std::string_view text, Tape& tape) {
  // The tag is checked as soon as the reader meets it.
  std::optional<size_t> tag;
  auto hook = [&](const Tape& tape, size_t index) -> Status {
    const bool object_form = tape[0].kind == TokenKind::kObjectBegin;
    if (object_form) {
      if (!bytes::equal(tape.string(tape[index - 1]), "type")) return ok_status();
      if (tag) return Cursor(tape, index - 1, true).error("duplicate field `type`");
    } else if (index != 1) {
      return ok_status();  // only the first element of the array form is the tag
    }
    DOVEK_ASSIGN_OR_RETURN(tag, read_tag(tape, index));
    return ok_status();
  };
  DOVEK_TRY(tape.reread(text, hook));

  const TokenKind root = tape[0].kind;
  if (root != TokenKind::kObjectBegin && root != TokenKind::kArrayBegin) {
    return Cursor(tape, 0, true).invalid_type("internally tagged enum CoreCommand");
  }
  if (!tag) return Error("missing field `type`");
  return empty_command(*tag);
}

// Decodes the fields of the command that start_command read into `command`.
Status decode_fields(const Tape& tape, CoreCommand& command, size_t* tool_input) {
  const json::RecordShape& shape = kShapes[command.index()];
  const std::span<const std::string_view> names = shape.fields;
  // Every field is required, so a command that decodes has all of them set.
  if (tape[0].kind == TokenKind::kObjectBegin) {
    // The members other than the tag, in text order; `type` is skipped as an
    // unknown key here since the reader has already taken it.
    Cursor c(tape, 0, false);
    DOVEK_TRY(c.record(shape, [&](size_t i, Cursor& fc) {
      return decode_field(i, fc, command, tool_input);
    }));
  } else {
    // Array form: the tag, then the fields by position.
    size_t count = 0;
    for (size_t i = 2; i < tape.size() && tape[i].kind != TokenKind::kArrayEnd; ++count) {
      Cursor skip(tape, i, false);
      skip.skip();
      i = skip.index();
    }
    Cursor c(tape, 1, false);
    c.skip();  // the tag
    for (size_t i = 0; i < names.size(); ++i) {
      if (i >= count) {
        return Error("invalid length " + std::to_string(count) +
                     ", expected struct variant CoreCommand::" + std::string(shape.description) +
                     " with " + element_count(names.size(), ""));
      }
      DOVEK_TRY(decode_field(i, c, command, tool_input));
    }
    if (count > names.size()) {
      return Error("invalid length " + std::to_string(count) + ", expected " +
                   element_count(names.size(), " in sequence"));
    }
  }
  return tape.check_trailing();
}

}  // namespace

Result<CoreCommand> decode_command(std::string_view text) {
  Tape tape;
  return decode_command(text, tape);
}

// One result object from start to end, returned by name on every path, so
// that the command is built in the caller's result and never moved.
Result<CoreCommand> decode_command(std::string_view text, Tape& scratch, size_t* tool_input) {
  Result<CoreCommand> command = start_command(text, scratch);
  if (command.ok()) {
    Status fields = decode_fields(scratch, *command, tool_input);
    if (!fields.ok()) command = std::move(fields).error();
  }
  if (!command.ok()) command = context("decode CoreCommand JSON", std::move(command).error());
  return command;
}

}  // namespace dovek::protocol
