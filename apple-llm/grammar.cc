#include "apple-llm/grammar.h"

#include <cctype>
#include <set>
#include <stdexcept>

namespace tavrin::llm {
namespace {

// Shared leaf rules. Strings exclude control characters (they must be
// escaped in JSON) and lone surrogate escapes (\uD800-\uDFFF), so every
// accepted string decodes to valid text. Whitespace between tokens is at most
// one space: a model cannot burn its token budget on indentation.
constexpr const char* kLeafRules = R"(string ::= "\"" char* "\""
char ::= [^"\\\x00-\x1F] | "\\" (["\\/bfnrt] | "u" ([0-9a-cA-CefEF] hex hex hex | [dD] [0-7] hex hex))
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
      case FieldKind::kString:
        return "string";
      case FieldKind::kStringList:
        return "string-list";
      case FieldKind::kRecordList:
        return ruleName(*field.element) + "-list";
    }
    throw std::logic_error("unknown field kind");
  }

  std::string out_;
  std::set<std::string> done_;
};

}  // namespace

std::string grammarFor(const RecordSchema& schema) { return Deriver().derive(schema); }

}  // namespace tavrin::llm
