#include "apple-llm/grammar.h"

#include <cctype>
#include <set>
#include <stdexcept>

namespace tavrin::llm {
namespace {

// Shared leaf rules. A string holds text only, in every spelling: no
// control characters (C0, DEL, C1), no surrogates and no U+FFFD (which only
// ever stands for text that was lost), neither raw nor as a \u escape; of
// the short escapes, line feed, carriage return and tab stay (notes may have
// line breaks), backspace and form feed do not. So every accepted string
// decodes to valid text. Whitespace between tokens is at most one space: a
// model cannot burn its token budget on indentation.
constexpr const char* kLeafRules = R"(string ::= "\"" char* "\""
char ::= [\x20-\x21\x23-\x5B\x5D-\x7E\xA0-\uD7FF\uE000-\uFFFC\uFFFE-\U0010FFFF] | "\\" (["\\/nrt] | "u" escaped)
escaped ::= "00" ([2-6] hex | "7" [0-9a-eA-E] | [a-fA-F] hex) | "0" [1-9a-fA-F] hex hex | [1-9a-cA-CeE] hex hex hex | [dD] [0-7] hex hex | [fF] ([0-9a-eA-E] hex hex | [fF] [0-9a-eA-E] hex | [fF] [fF] [0-9a-cA-CeEfF])
hex ::= [0-9a-fA-F]
string-list ::= "[" ws (string (ws "," ws string)*)? ws "]"
ws ::= " "?
)";

std::string ruleName(const RecordSchema& schema) {
  std::string name;
  for (char c : schema.name) name += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return name;
}

std::string quotedKey(const std::string& name) {
  // Field names are plain identifiers; inside a GBNF literal the JSON quotes
  // are escaped.
  return "\"\\\"" + name + "\\\"\"";
}

class Deriver {
 public:
  std::string derive(const RecordSchema& root) {
    out_ = "root ::= " + ruleName(root) + "\n";
    addRecord(root);
    out_ += kLeafRules;
    return out_;
  }

 private:
  void addRecord(const RecordSchema& schema) {
    const std::string name = ruleName(schema);
    if (!done_.insert(name).second) return;
    std::string body = "\"{\" ws";
    bool anyRequired = false;
    for (const FieldSchema& field : schema.fields) {
      const std::string member = quotedKey(field.name) + " ws \":\" ws " + valueRule(field);
      if (field.optional) {
        if (!anyRequired) throw std::logic_error("an optional field must follow a required one: " + field.name);
        body += " (ws \",\" ws " + member + ")?";
      } else {
        body += anyRequired ? " ws \",\" ws " + member : " " + member;
        anyRequired = true;
      }
    }
    body += " ws \"}\"";
    out_ += name + " ::= " + body + "\n";
    for (const FieldSchema& field : schema.fields) {
      if (field.kind == FieldKind::kRecordList) {
        const std::string element = ruleName(*field.element);
        out_ += element + "-list ::= \"[\" ws (" + element + " (ws \",\" ws " + element + ")*)? ws \"]\"\n";
        addRecord(*field.element);
      }
    }
  }

  static std::string valueRule(const FieldSchema& field) {
    switch (field.kind) {
      case FieldKind::kString: return "string";
      case FieldKind::kStringList: return "string-list";
      case FieldKind::kRecordList: return ruleName(*field.element) + "-list";
    }
    throw std::logic_error("unknown field kind");
  }

  std::string out_;
  std::set<std::string> done_;
};

}  // namespace

std::string grammarFor(const RecordSchema& schema) {
  return Deriver().derive(schema);
}

bool Utf8Prefix::step(unsigned char byte) {
  if (remaining_ > 0) {
    if (byte < low_ || byte > high_) return false;
    --remaining_;
    low_ = 0x80;
    high_ = 0xBF;
    return true;
  }
  const auto expect = [&](uint8_t remaining, uint8_t low, uint8_t high) {
    remaining_ = remaining;
    low_ = low;
    high_ = high;
    return true;
  };
  if (byte < 0x80) return true;
  if (byte >= 0xC2 && byte <= 0xDF) return expect(1, 0x80, 0xBF);
  if (byte == 0xE0) return expect(2, 0xA0, 0xBF);  // no overlong forms
  if (byte == 0xED) return expect(2, 0x80, 0x9F);  // no surrogates
  if (byte >= 0xE1 && byte <= 0xEF) return expect(2, 0x80, 0xBF);
  if (byte == 0xF0) return expect(3, 0x90, 0xBF);  // no overlong forms
  if (byte >= 0xF1 && byte <= 0xF3) return expect(3, 0x80, 0xBF);
  if (byte == 0xF4) return expect(3, 0x80, 0x8F);  // nothing above U+10FFFF
  return false;
}

bool Utf8Prefix::accepts(std::string_view bytes) const {
  Utf8Prefix copy = *this;
  for (char c : bytes) {
    if (!copy.step(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

void Utf8Prefix::append(std::string_view bytes) {
  for (char c : bytes) step(static_cast<unsigned char>(c));
}

}  // namespace tavrin::llm
