// The four notes records, the generation schemas of the two the model
// writes whole (Extract, Overview; the other two are parts of Extract's),
// and their JSON form.
//
// A record's schema lists its fields in order with their kind, optionality
// and the description that goes with the field. The schema is what the
// model interface constrains generation with (see grammar.h); the record is
// then read back from the generated value by field name.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tavrin::llm {

struct RecordSchema;

enum class FieldKind {
  kString,      // a string
  kStringList,  // a list of strings
  kRecordList,  // a list of records of `element`
};

struct FieldSchema {
  std::string name;
  FieldKind kind;
  bool optional;
  std::string description;
  const RecordSchema* element = nullptr;  // set for kRecordList only
};

struct RecordSchema {
  std::string name;
  std::vector<FieldSchema> fields;
};

struct Topic {
  std::string topic;
  std::string notes;

  bool operator==(const Topic&) const = default;
};

struct ActionItem {
  std::string text;
  std::optional<std::string> owner;

  bool operator==(const ActionItem&) const = default;
};

struct Extract {
  std::vector<Topic> topics;
  std::vector<std::string> decisions;
  std::vector<ActionItem> actionItems;

  static const RecordSchema& schema();
  // Reads the record from a generated JSON value; throws GeneratedValueError
  // when a required field is missing or a value has the wrong shape.
  static Extract fromGenerated(std::string_view json);
  // Compact JSON, "/" written plain, `owner` left out when absent.
  std::string toJson() const;
  bool operator==(const Extract&) const = default;
};

struct Overview {
  std::string title;
  std::string summary;

  static const RecordSchema& schema();
  static Overview fromGenerated(std::string_view json);
  std::string toJson() const;
  bool operator==(const Overview&) const = default;
};

// A generated value that does not match its record. This is an error of the
// model interface: it ends the run like any other generation failure.
class GeneratedValueError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace tavrin::llm
