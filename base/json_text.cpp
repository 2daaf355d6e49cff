#include "base/json_text.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "base/errors.h"

namespace halvenor {
namespace json {

namespace {

// Containers nested deeper than this are refused on reading and on writing:
// the writer recurses once per level, and no document of this system comes
// anywhere near it, so a deeper one can only be an attempt to exhaust the
// stack.
constexpr std::size_t kMaxNestingDepth = 1000;

// Doubles whose decimal exponent lies in [kPositionalMinExponent,
// kPositionalMaxExponent) are written positionally (0.0001 up to just below
// 1e16); all others in exponent form.
constexpr int kPositionalMinExponent = -4;
constexpr int kPositionalMaxExponent = 16;

// Large enough for the longest shortest-round-trip scientific form of a
// double ("-2.2250738585072014e-308" is 24 characters).
constexpr std::size_t kDoubleTextCapacity = 32;

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

constexpr char32_t kMaxCodePoint = 0x10FFFF;
constexpr char32_t kSurrogateFirst = 0xD800;
constexpr char32_t kLowSurrogateFirst = 0xDC00;
constexpr char32_t kSurrogateLast = 0xDFFF;
constexpr char32_t kFirstSupplementary = 0x10000;

bool is_surrogate(char32_t c) { return c >= kSurrogateFirst && c <= kSurrogateLast; }

// ---------------------------------------------------------------------------
// UTF-8

// Decodes the code point starting at text[pos] and advances pos past it.
// Refuses overlong forms, encoded surrogates, values beyond U+10FFFF and
// truncated or broken sequences.
char32_t next_code_point(std::string_view text, std::size_t& pos) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(pos);
  if (lead < 0x80) {
    ++pos;
    return lead;
  }
  std::size_t length;
  char32_t value;
  char32_t minimum;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, value = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, value = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, value = lead & 0x07, minimum = kFirstSupplementary;
  } else {
    throw RequestError("invalid UTF-8 lead byte");
  }
  if (text.size() - pos < length) throw RequestError("truncated UTF-8 sequence");
  for (std::size_t i = 1; i < length; ++i) {
    const unsigned char continuation = byte(pos + i);
    if ((continuation & 0xC0) != 0x80) throw RequestError("invalid UTF-8 continuation byte");
    value = (value << 6) | (continuation & 0x3F);
  }
  if (value < minimum) throw RequestError("overlong UTF-8 sequence");
  if (value > kMaxCodePoint || is_surrogate(value)) {
    throw RequestError("UTF-8 sequence is not a Unicode scalar value");
  }
  pos += length;
  return value;
}

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < kFirstSupplementary) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// ---------------------------------------------------------------------------
// Writing

void append_unicode_escape(std::string& out, char32_t unit) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += "\\u";
  out += kHex[(unit >> 12) & 0xF];
  out += kHex[(unit >> 8) & 0xF];
  out += kHex[(unit >> 4) & 0xF];
  out += kHex[unit & 0xF];
}

// Printable ASCII other than the quote and the backslash is copied as it is.
bool is_plain(unsigned char c) { return c >= 0x20 && c <= 0x7E && c != '"' && c != '\\'; }

void append_quoted(std::string& out, std::string_view text) {
  out += '"';
  std::size_t pos = 0;
  while (pos < text.size()) {
    // Stored texts are mostly plain; copying runs of them at once keeps large
    // documents (the dashboard's) from being written a character at a time.
    std::size_t run = pos;
    while (run < text.size() && is_plain(static_cast<unsigned char>(text[run]))) ++run;
    if (run > pos) {
      out.append(text.data() + pos, run - pos);
      pos = run;
      if (pos == text.size()) break;
    }
    const char32_t c = next_code_point(text, pos);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c >= 0x20 && c <= 0x7E) {
          out += static_cast<char>(c);
        } else if (c < kFirstSupplementary) {
          append_unicode_escape(out, c);
        } else {
          const char32_t offset = c - kFirstSupplementary;
          append_unicode_escape(out, kSurrogateFirst + (offset >> 10));
          append_unicode_escape(out, kLowSurrogateFirst + (offset & 0x3FF));
        }
    }
  }
  out += '"';
}

template <typename Integer>
void append_decimal(std::string& out, Integer value) {
  char buffer[24];  // 20 digits of uint64 max, or a sign and 19 digits
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

// The layout that distinguishes the four encodings; everything else (string
// escaping, number forms) is shared.
struct Layout {
  bool sort_keys;
  std::string_view item_separator;
  std::string_view key_separator;
  std::size_t indent;  // spaces per level; 0 keeps the text on one line
};

constexpr Layout kCanonicalLayout{true, ",", ":", 0};
constexpr Layout kFieldTextLayout{false, ", ", ": ", 0};
constexpr Layout kHashFormLayout{true, ", ", ": ", 0};
constexpr Layout kIndentedLayout{false, ",", ": ", 2};

class Writer {
 public:
  Writer(const Layout& layout, std::string& out) : layout_(layout), out_(out) {}

  void write(const Json& value) { write_value(value, 0); }

 private:
  using Member = Json::object_t::value_type;

  void write_value(const Json& value, std::size_t depth) {
    switch (value.type()) {
      case Json::value_t::null: out_ += "null"; break;
      case Json::value_t::boolean: out_ += value.get<bool>() ? "true" : "false"; break;
      case Json::value_t::number_integer:
        append_decimal(out_, value.get<Json::number_integer_t>());
        break;
      case Json::value_t::number_unsigned:
        append_decimal(out_, value.get<Json::number_unsigned_t>());
        break;
      case Json::value_t::number_float:
        append_double(out_, value.get<Json::number_float_t>());
        break;
      case Json::value_t::string:
        append_quoted(out_, value.get_ref<const Json::string_t&>());
        break;
      case Json::value_t::array:
        write_array(value.get_ref<const Json::array_t&>(), depth);
        break;
      case Json::value_t::object:
        write_object(value.get_ref<const Json::object_t&>(), depth);
        break;
      case Json::value_t::binary:
      case Json::value_t::discarded:
        throw RequestError("value has no JSON text form");
    }
  }

  void write_array(const Json::array_t& elements, std::size_t depth) {
    enter(depth);
    if (elements.empty()) {
      out_ += "[]";
      return;
    }
    out_ += '[';
    for (std::size_t i = 0; i < elements.size(); ++i) {
      if (i > 0) out_ += layout_.item_separator;
      break_line(depth + 1);
      write_value(elements[i], depth + 1);
    }
    break_line(depth);
    out_ += ']';
  }

  void write_object(const Json::object_t& members, std::size_t depth) {
    enter(depth);
    if (members.empty()) {
      out_ += "{}";
      return;
    }
    std::vector<const Member*> order;
    order.reserve(members.size());
    for (const Member& member : members) order.push_back(&member);
    if (layout_.sort_keys) {
      // std::string compares bytes as unsigned char, and the byte order of
      // valid UTF-8 is code point order.
      std::sort(order.begin(), order.end(),
                [](const Member* a, const Member* b) { return a->first < b->first; });
    }
    out_ += '{';
    for (std::size_t i = 0; i < order.size(); ++i) {
      if (i > 0) out_ += layout_.item_separator;
      break_line(depth + 1);
      append_quoted(out_, order[i]->first);
      out_ += layout_.key_separator;
      write_value(order[i]->second, depth + 1);
    }
    break_line(depth);
    out_ += '}';
  }

  static void enter(std::size_t depth) {
    if (depth >= kMaxNestingDepth) throw RequestError("JSON nested too deeply");
  }

  void break_line(std::size_t depth) {
    if (layout_.indent == 0) return;
    out_ += '\n';
    out_.append(depth * layout_.indent, ' ');
  }

  const Layout& layout_;
  std::string& out_;
};

std::string write_text(const Layout& layout, const Json& value) {
  std::string out;
  Writer(layout, out).write(value);
  return out;
}

// ---------------------------------------------------------------------------
// Reading

// Builds the document from the parser's events, refusing what the plain
// parser would accept silently: duplicate keys, integers too wide for 64 bits
// (which it turns into doubles) and doubles that overflow to infinity.
class DocumentBuilder {
 public:
  using number_integer_t = Json::number_integer_t;
  using number_unsigned_t = Json::number_unsigned_t;
  using number_float_t = Json::number_float_t;
  using string_t = Json::string_t;
  using binary_t = Json::binary_t;

  bool null() { return place(Json(nullptr)); }
  bool boolean(bool value) { return place(Json(value)); }
  bool number_integer(number_integer_t value) { return place(Json(value)); }
  bool number_unsigned(number_unsigned_t value) { return place(Json(value)); }

  bool number_float(number_float_t value, const string_t& lexeme) {
    if (lexeme.find_first_of(".eE") == string_t::npos) {
      throw RequestError("integer does not fit 64 bits");
    }
    if (!std::isfinite(value)) throw RequestError("number out of range");
    return place(Json(value));
  }

  bool string(string_t& value) { return place(Json(value)); }
  bool binary(binary_t&) { throw RequestError("binary value in JSON text"); }

  bool start_object(std::size_t) { return open(Json::object()); }
  bool start_array(std::size_t) { return open(Json::array()); }

  bool key(string_t& name) {
    if (!levels_.back().keys.insert(name).second) throw RequestError("duplicate object key");
    pending_key_ = name;
    return true;
  }

  bool end_object() { return close(); }
  bool end_array() { return close(); }

  bool parse_error(std::size_t, const std::string&, const Json::exception& error) {
    throw RequestError(std::string("malformed JSON: ") + error.what());
  }

  Json take() { return std::move(root_); }

 private:
  struct Level {
    Json* container;
    std::unordered_set<std::string> keys;  // objects only
  };

  // Adds value to the innermost open container (or makes it the document)
  // and returns where it now lives. Pointers to open containers stay valid:
  // a container only grows while it is the innermost one.
  Json* insert(Json&& value) {
    if (levels_.empty()) {
      root_ = std::move(value);
      return &root_;
    }
    Json& container = *levels_.back().container;
    if (container.is_array()) {
      auto& elements = container.get_ref<Json::array_t&>();
      elements.push_back(std::move(value));
      return &elements.back();
    }
    // Uniqueness is already checked in key(); appending to the underlying
    // vector avoids the map's own linear search for each member.
    auto& members = static_cast<Json::object_t::Container&>(container.get_ref<Json::object_t&>());
    members.emplace_back(std::move(pending_key_), std::move(value));
    return &members.back().second;
  }

  bool place(Json&& value) {
    insert(std::move(value));
    return true;
  }

  bool open(Json&& container) {
    if (levels_.size() >= kMaxNestingDepth) throw RequestError("JSON nested too deeply");
    Json* placed = insert(std::move(container));
    levels_.push_back(Level{placed, {}});
    return true;
  }

  bool close() {
    levels_.pop_back();
    return true;
  }

  Json root_;
  std::vector<Level> levels_;
  std::string pending_key_;
};

// Parses UTF-8 text that must not start with a byte-order mark (any mark has
// been consumed by the caller; the parser would otherwise skip a second one).
Json parse_utf8(std::string_view text) {
  if (text.starts_with(kUtf8Bom)) throw RequestError("unexpected byte-order mark");
  DocumentBuilder builder;
  bool complete;
  try {
    complete = Json::sax_parse(text.data(), text.data() + text.size(), &builder,
                               nlohmann::detail::input_format_t::json, /*strict=*/true);
  } catch (const Json::exception& error) {
    throw RequestError(std::string("malformed JSON: ") + error.what());
  }
  if (!complete) throw RequestError("malformed JSON");
  return builder.take();
}

// ---------------------------------------------------------------------------
// Request body encodings

enum class Encoding { kUtf8, kUtf16BigEndian, kUtf16LittleEndian, kUtf32BigEndian, kUtf32LittleEndian };

struct Detected {
  Encoding encoding;
  std::size_t mark_length;  // bytes of byte-order mark to skip
};

// A JSON text starts with two ASCII characters (or one, for a one-digit
// number), so the zero bytes among the first four show the code unit width
// and byte order when there is no byte-order mark.
Detected detect_encoding(std::string_view bytes) {
  const auto starts = [&](std::string_view prefix) { return bytes.starts_with(prefix); };
  using namespace std::string_view_literals;
  // The four-byte marks first: FF FE 00 00 also starts with the UTF-16 mark.
  if (starts("\x00\x00\xFE\xFF"sv)) return {Encoding::kUtf32BigEndian, 4};
  if (starts("\xFF\xFE\x00\x00"sv)) return {Encoding::kUtf32LittleEndian, 4};
  if (starts("\xFE\xFF"sv)) return {Encoding::kUtf16BigEndian, 2};
  if (starts("\xFF\xFE"sv)) return {Encoding::kUtf16LittleEndian, 2};
  if (starts(kUtf8Bom)) return {Encoding::kUtf8, 0};  // parse_text skips it

  const auto zero = [&](std::size_t i) { return bytes[i] == '\0'; };
  if (bytes.size() >= 4) {
    if (zero(0)) return {zero(1) ? Encoding::kUtf32BigEndian : Encoding::kUtf16BigEndian, 0};
    if (zero(1)) {
      return {zero(2) && zero(3) ? Encoding::kUtf32LittleEndian : Encoding::kUtf16LittleEndian, 0};
    }
  } else if (bytes.size() == 2) {
    if (zero(0)) return {Encoding::kUtf16BigEndian, 0};
    if (zero(1)) return {Encoding::kUtf16LittleEndian, 0};
  }
  return {Encoding::kUtf8, 0};
}

char32_t read_unit(std::string_view bytes, std::size_t pos, std::size_t width, bool big_endian) {
  char32_t unit = 0;
  for (std::size_t i = 0; i < width; ++i) {
    const std::size_t index = big_endian ? pos + i : pos + width - 1 - i;
    unit = (unit << 8) | static_cast<unsigned char>(bytes[index]);
  }
  return unit;
}

std::string utf16_to_utf8(std::string_view bytes, bool big_endian) {
  if (bytes.size() % 2 != 0) throw RequestError("UTF-16 text of odd length");
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t pos = 0; pos < bytes.size(); pos += 2) {
    char32_t c = read_unit(bytes, pos, 2, big_endian);
    if (c >= kLowSurrogateFirst && c <= kSurrogateLast) throw RequestError("unpaired UTF-16 surrogate");
    if (c >= kSurrogateFirst && c < kLowSurrogateFirst) {
      pos += 2;
      if (pos >= bytes.size()) throw RequestError("unpaired UTF-16 surrogate");
      const char32_t low = read_unit(bytes, pos, 2, big_endian);
      if (low < kLowSurrogateFirst || low > kSurrogateLast) {
        throw RequestError("unpaired UTF-16 surrogate");
      }
      c = kFirstSupplementary + ((c - kSurrogateFirst) << 10) + (low - kLowSurrogateFirst);
    }
    append_utf8(out, c);
  }
  return out;
}

std::string utf32_to_utf8(std::string_view bytes, bool big_endian) {
  if (bytes.size() % 4 != 0) throw RequestError("UTF-32 text length not a multiple of four");
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t pos = 0; pos < bytes.size(); pos += 4) {
    const char32_t c = read_unit(bytes, pos, 4, big_endian);
    if (c > kMaxCodePoint || is_surrogate(c)) throw RequestError("invalid UTF-32 code point");
    append_utf8(out, c);
  }
  return out;
}

}  // namespace

std::string canonical(const Json& value) { return write_text(kCanonicalLayout, value); }
std::string field_text(const Json& value) { return write_text(kFieldTextLayout, value); }
std::string hash_form(const Json& value) { return write_text(kHashFormLayout, value); }
std::string indented(const Json& value) { return write_text(kIndentedLayout, value); }

void append_field_text(std::string& out, const Json& value) { Writer(kFieldTextLayout, out).write(value); }
void append_string(std::string& out, std::string_view text) { append_quoted(out, text); }
void append_integer(std::string& out, std::int64_t value) { append_decimal(out, value); }

std::string format_double(double value) {
  std::string out;
  append_double(out, value);
  return out;
}

void append_double(std::string& out, double value) {
  if (!std::isfinite(value)) throw RequestError("NaN and Infinity have no JSON form");
  if (value == 0) {
    out += std::signbit(value) ? "-0.0" : "0.0";
    return;
  }

  // The shortest digits that read back as the same double, in the form
  // [-]d[.ddd]e(+|-)dd[d]: already the exponent form written outside the
  // positional range.
  char buffer[kDoubleTextCapacity];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  const std::string_view scientific(buffer, static_cast<std::size_t>(result.ptr - buffer));
  const std::size_t e = scientific.find('e');
  int exponent = 0;
  std::from_chars(scientific.data() + e + 2, scientific.data() + scientific.size(), exponent);
  if (scientific[e + 1] == '-') exponent = -exponent;
  if (exponent < kPositionalMinExponent || exponent >= kPositionalMaxExponent) {
    out += scientific;
    return;
  }

  // The significant digits, without sign and point, in a fixed buffer: this
  // runs for every time stamp of the dashboard's delivery rows.
  char digit_buffer[kDoubleTextCapacity];
  std::size_t count = 0;
  for (char c : scientific.substr(0, e)) {
    if (c >= '0' && c <= '9') digit_buffer[count++] = c;
  }
  const std::string_view digits(digit_buffer, count);
  if (value < 0) out += '-';
  if (exponent < 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-exponent - 1), '0');
    out += digits;
    return;
  }
  const std::size_t whole = static_cast<std::size_t>(exponent) + 1;
  if (digits.size() <= whole) {
    out += digits;
    out.append(whole - digits.size(), '0');
    out += ".0";
  } else {
    out += digits.substr(0, whole);
    out += '.';
    out += digits.substr(whole);
  }
}

Json parse_text(std::string_view text) {
  if (text.starts_with(kUtf8Bom)) text.remove_prefix(kUtf8Bom.size());
  return parse_utf8(text);
}

Json parse_body(std::string_view bytes) {
  const Detected detected = detect_encoding(bytes);
  const std::string_view content = bytes.substr(detected.mark_length);
  switch (detected.encoding) {
    case Encoding::kUtf8: return parse_text(content);
    case Encoding::kUtf16BigEndian: return parse_utf8(utf16_to_utf8(content, true));
    case Encoding::kUtf16LittleEndian: return parse_utf8(utf16_to_utf8(content, false));
    case Encoding::kUtf32BigEndian: return parse_utf8(utf32_to_utf8(content, true));
    case Encoding::kUtf32LittleEndian: return parse_utf8(utf32_to_utf8(content, false));
  }
  throw RequestError("unknown text encoding");
}

}  // namespace json
}  // namespace halvenor
