#include "dag/mermaid.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <string_view>
#include <unordered_set>

namespace pelmo {
namespace {

constexpr const char* kBranchFill = "#e1f5ff";
constexpr const char* kVariantFills[4] = {"#ffe1e1", "#e1ffe1", "#ffe1ff", "#ffffe1"};

// Where a text stands decides which characters Mermaid reads as syntax: in a
// box the text is a quoted string; an arrow label is bare text between
// pipes, where brackets, braces, parentheses and '@' open other syntax too,
// and where "$$" would make math of the text between two names.
enum class Place { box, arrow };

// Bytes that may need rewriting, per place. Any other byte is written as it
// is, so a text without them costs one scan. '#', '\\', '$', U+00B6 and
// U+FB02 (lead bytes C2, EF) matter only before certain characters, and
// ';' may complete Mermaid's style rewrite (see guard_style_rewrite).
constexpr std::array<bool, 256> special_bytes(Place place) {
  std::array<bool, 256> table{};
  for (unsigned char byte : std::string_view("\"#\\;\xC2\xEF")) table[byte] = true;
  if (place == Place::arrow) {
    for (unsigned char byte : std::string_view("$()@[]{}|")) table[byte] = true;
  }
  return table;
}
constexpr std::array<bool, 256> kSpecialInBox = special_bytes(Place::box);
constexpr std::array<bool, 256> kSpecialInArrow = special_bytes(Place::arrow);

bool is_word_byte(char byte) {
  return (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
         (byte >= '0' && byte <= '9') || byte == '_';
}

// Mermaid turns every "#word;" into a character before it parses: a '#'
// that starts one must itself be written as a code.
bool starts_entity_code(std::string_view text, std::size_t hash) {
  std::size_t end = hash + 1;
  while (end < text.size() && is_word_byte(text[end])) ++end;
  return end > hash + 1 && end < text.size() && text[end] == ';';
}

bool continues_with(std::string_view text, std::size_t at, std::string_view what) {
  return text.substr(at, what.size()) == what;
}

// Writes `text` with an entity code for each character Mermaid would read
// as syntax where it stands; returns whether it wrote a ';'.
bool append_escaped(std::string& out, std::string_view text, Place place) {
  bool semicolon = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char byte = text[i];
    const char* code = nullptr;
    switch (byte) {
      case '"':
        code = "#quot;";
        break;
      case '#':
        code = starts_entity_code(text, i) ? "#35;" : nullptr;
        break;
      // Mermaid draws a backslash and 'n' as a line break.
      case '\\':
        code = continues_with(text, i + 1, "n") ? "#92;" : nullptr;
        break;
      case ';':
        semicolon = true;
        break;
      default:
        break;
    }
    if (place == Place::arrow) {
      switch (byte) {
        case '(':
          code = "#40;";
          break;
        case ')':
          code = "#41;";
          break;
        case '$':
          code = continues_with(text, i + 1, "$") ? "#36;" : nullptr;
          break;
        case '@':
          code = "#64;";
          break;
        case '[':
          code = "#91;";
          break;
        case ']':
          code = "#93;";
          break;
        case '{':
          code = "#123;";
          break;
        case '|':
          code = "#124;";
          break;
        case '}':
          code = "#125;";
          break;
        default:
          break;
      }
    }
    // Mermaid marks its entity codes with "\uFB02\u00B0" and "\u00B6\u00DF"
    // and turns every such pair into '&' and ';', in the finished drawing
    // too, so no code survives: an empty <wbr> keeps the two apart.
    if (continues_with(text, i, "\u00B6\u00DF")) {
      out += "\u00B6<wbr>";
      ++i;
      continue;
    }
    if (continues_with(text, i, "\uFB02\u00B0")) {
      out += "\uFB02<wbr>";
      i += 2;
      continue;
    }
    if (code == nullptr) {
      out += byte;
    } else {
      out += code;
      semicolon = true;
    }
  }
  return semicolon;
}

// Appends `text` as Mermaid shows it exactly; returns whether the written
// text holds a ';' (which guard_style_rewrite then has to look at).
bool append_text(std::string& out, std::string_view text, Place place) {
  const std::array<bool, 256>& special = place == Place::box ? kSpecialInBox : kSpecialInArrow;
  const auto plain = std::find_if(text.begin(), text.end(), [&](char byte) {
    return special[static_cast<unsigned char>(byte)];
  });
  if (plain == text.end()) {
    out += text;
    return false;
  }
  const auto start = static_cast<std::size_t>(plain - text.begin());
  out += text.substr(0, start);
  return append_escaped(out, text.substr(start), place);
}

bool is_line_break(char byte) { return byte == '\n' || byte == '\r'; }

bool is_space(char byte) {
  return byte == ' ' || byte == '\t' || byte == '\v' || byte == '\f' || is_line_break(byte);
}

// An arrow label that starts with "~~~", after white space, is read as an
// invisible link. Where such a start is: any non-ASCII character counts as
// white space here, which errs towards writing the code.
std::size_t invisible_link_start(std::string_view name) {
  // Most names start with a plain character: no search needed.
  if (name.empty() || (name[0] != '~' && !is_space(name[0]) && !(name[0] & 0x80))) {
    return std::string_view::npos;
  }
  const std::size_t tildes = name.find("~~~");
  if (tildes == std::string_view::npos) return tildes;
  const bool blank = std::all_of(name.begin(), name.begin() + static_cast<std::ptrdiff_t>(tildes),
                                 [](char byte) { return is_space(byte) || byte & 0x80; });
  return blank ? tildes : std::string_view::npos;
}

// Whether the text has Mermaid's style pattern /<word>.*:\S*#.*;/ on one
// of its lines (the rewrite drops that line's last ';'). The earliest
// <word> on a line is the one to try, so one pass per line does. Non-ASCII
// bytes count as neither space nor line break: the answer errs towards yes.
bool has_style_pattern(std::string_view text, std::string_view word) {
  std::size_t line_start = 0;
  while (line_start < text.size()) {
    std::size_t line_end = line_start;
    while (line_end < text.size() && !is_line_break(text[line_end])) ++line_end;
    const std::string_view line = text.substr(line_start, line_end - line_start);
    line_start = line_end + 1;
    const std::size_t at = line.find(word);
    if (at == std::string_view::npos) continue;
    bool after_colon = false;  // in a run of non-space characters after a ':'
    bool hash = false;
    for (std::size_t i = at + word.size(); i < line.size(); ++i) {
      const char byte = line[i];
      if (hash && byte == ';') return true;
      if (byte == ':') {
        after_colon = true;
      } else if (byte == '#' && after_colon) {
        hash = true;
      } else if (is_space(byte)) {
        after_colon = false;
      }
    }
  }
  return false;
}

// Mermaid drops the last ';' of any line that has "style" or "classDef",
// then ':', then '#' and ';' (meant for style statements), which would
// break the entity code or label it belongs to. Writing the first letter
// of each such word as a code leaves the pattern nothing to match.
void guard_style_rewrite(std::string& out, std::size_t from) {
  const std::string_view written = std::string_view(out).substr(from);
  if (!has_style_pattern(written, "style") && !has_style_pattern(written, "classDef")) return;
  std::string guarded;
  for (std::size_t i = 0; i < written.size(); ++i) {
    if (continues_with(written, i, "style")) {
      guarded += "#115;";
    } else if (continues_with(written, i, "classDef")) {
      guarded += "#99;";
    } else {
      guarded += written[i];
    }
  }
  out.replace(from, std::string::npos, guarded);
}

// Mermaid rejects an empty string in a box, and reads a box text that
// starts with a backtick as a Markdown string, which must end with one.
void append_box_text(std::string& out, std::string_view label) {
  if (label.empty()) {
    out += ' ';
    return;
  }
  const std::size_t from = out.size();
  const bool markdown = label.size() >= 3 && label.front() == '`' && label.back() == '`' &&
                        label.find('`', 1) == label.size() - 1;
  std::string_view rest = label;
  bool semicolon = false;
  if (label.front() == '`' && !markdown) {
    out += "#96;";
    rest.remove_prefix(1);
    semicolon = true;
  }
  semicolon |= append_text(out, rest, Place::box);
  if (semicolon) guard_style_rewrite(out, from);
}

void append_id(std::string& text, NodeId id) {
  char digits[24];
  auto end = std::to_chars(digits, digits + sizeof digits, id).ptr;
  text.append(digits, end);
}

struct ArrowHash {
  std::size_t operator()(const std::pair<NodeId, std::size_t>& arrow) const noexcept {
    return std::hash<NodeId>()(arrow.first * 0x9e3779b97f4a7c15ULL ^ arrow.second);
  }
};

bool produces(const NodeStore& store, const Node& node, NameId broadcast_name) {
  for (const NamePair& mapping : store.pairs(node.outputs)) {
    if (mapping.second == broadcast_name) return true;
  }
  return false;
}

void append_arrow(std::string& text, const NodeStore& store, const Node* from_node, NodeId from,
                  const Node& to) {
  text += "    ";
  append_id(text, from);
  bool labelled = false;
  bool semicolon = false;
  std::size_t label_start = 0;
  if (from_node != nullptr) {
    const NameTable& names = store.names();
    for (const NamePair& mapping : store.pairs(to.inputs)) {
      if (!produces(store, *from_node, mapping.first)) continue;
      std::string_view name = names[mapping.first];
      if (labelled) {
        text += "<br/>";
      } else {
        text += " -->|";
        label_start = text.size();
        const std::size_t tildes = invisible_link_start(name);
        if (tildes != std::string_view::npos) {
          semicolon |= append_text(text, name.substr(0, tildes), Place::arrow);
          text += "#126;";
          semicolon = true;
          name.remove_prefix(tildes + 1);
        }
      }
      semicolon |= append_text(text, name, Place::arrow);
      text += " \xE2\x86\x92 ";  // U+2192 RIGHTWARDS ARROW
      semicolon |= append_text(text, names[mapping.second], Place::arrow);
      labelled = true;
    }
  }
  // The names of one arrow share a line, and so a style pattern.
  if (semicolon) guard_style_rewrite(text, label_start);
  text += labelled ? "| " : " --> ";
  append_id(text, to.id);
  text += '\n';
}

// An arrow is one (dependency, node id) pair, and repeats only among the
// records of one id. Within a record a stamp on the dependency's position
// finds it; records that share an id, and dependencies that name no
// record, go through the set of written pairs.
void append_arrows(std::string& text, const Dag& dag) {
  const NodeStore& store = dag.store();
  const std::span<const Node> nodes = dag.nodes();
  const IdPositions& position = dag.positions();
  const bool ids_unique = position.ids_unique();
  std::vector<std::size_t> stamp(ids_unique ? nodes.size() : 0, IdPositions::kNone);
  std::unordered_set<std::pair<NodeId, std::size_t>, ArrowHash> written;
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    const std::size_t owner = ids_unique ? i : position(nodes[i].id);
    for (NodeId dependency : store.dependencies(nodes[i])) {
      const std::size_t from = position(dependency);
      if (ids_unique && from != IdPositions::kNone) {
        if (stamp[from] == i) continue;
        stamp[from] = i;
      } else if (!written.emplace(dependency, owner).second) {
        continue;
      }
      append_arrow(text, store, from == IdPositions::kNone ? nullptr : &nodes[from], dependency,
                   nodes[i]);
    }
  }
}

void append_style(std::string& text, NodeId id, const char* fill) {
  text += "    style ";
  append_id(text, id);
  text += " fill:";
  text += fill;
  text += '\n';
}

}  // namespace

std::string to_mermaid_text(const Dag& dag) {
  std::string text = "graph TD\n";
  for (const Node& node : dag.nodes()) {
    text += "    ";
    append_id(text, node.id);
    text += "[\"";
    if (const std::optional<std::string_view> label = dag.store().label(node)) {
      append_box_text(text, *label);
    } else {
      text += "Node ";
      append_id(text, node.id);
    }
    text += "\"]\n";
  }
  append_arrows(text, dag);
  for (const Node& node : dag.nodes()) {
    if (node.is_branch) append_style(text, node.id, kBranchFill);
  }
  for (const Node& node : dag.nodes()) {
    if (node.variant_index != kNoVariant)
      append_style(text, node.id, kVariantFills[node.variant_index % 4]);
  }
  return text;
}

}  // namespace pelmo
