#include "apple-llm/records.h"

#include <nlohmann/json.hpp>

#include "common/json.h"

namespace tavrin::llm {
namespace {

using nlohmann::json;

const RecordSchema kTopicSchema{
    "Topic",
    {
        {"topic", FieldKind::kString, false, "A short, content-specific topic label."},
        {"notes", FieldKind::kString, false,
         "Informative notes capturing the actual points made on this topic: facts, numbers, names, opinions, and "
         "reasoning. Two to four sentences."},
    }};

const RecordSchema kActionItemSchema{
    "ActionItem",
    {
        {"text", FieldKind::kString, false, "The action to be taken, phrased as a task."},
        {"owner", FieldKind::kString, true, "Who owns the action (e.g. \"You\" or \"Others\"). Omit if unknown."},
    }};

const RecordSchema kExtractSchema{
    "Extract",
    {
        {"topics", FieldKind::kRecordList, false,
         "The substantive topics discussed in this section, ordered as they occur. One short label plus notes each. "
         "Skip intros, outros, greetings, jingles, sponsor reads, and social-media plugs.",
         &kTopicSchema},
        {"decisions", FieldKind::kStringList, false,
         "Concrete decisions or conclusions reached in this section. Empty if none."},
        {"actionItems", FieldKind::kRecordList, false,
         "Action items / follow-ups mentioned in this section. Empty if none.", &kActionItemSchema},
    }};

const RecordSchema kOverviewSchema{
    "Overview",
    {
        {"title", FieldKind::kString, false,
         "A specific title describing the CORE subject actually discussed (max ~10 words). Never use the "
         "show/program/podcast name or a person's name."},
        {"summary", FieldKind::kString, false,
         "A substantive overview of the core content in 3-5 sentences, covering what was actually discussed in "
         "depth."},
    }};

// Field access by name with the shape checks every record shares.
class Reader {
 public:
  Reader(const json& object, std::string_view record) : object_(object), record_(record) {
    if (!object_.is_object()) fail("it is not an object");
  }

  const json* find(std::string_view name, bool required) const {
    auto it = object_.find(std::string(name));
    if (it == object_.end()) {
      if (required) fail("it has no \"" + std::string(name) + "\" field");
      return nullptr;
    }
    return &*it;
  }

  std::string string(std::string_view name) const { return asString(*find(name, true), name); }

  std::optional<std::string> optionalString(std::string_view name) const {
    const json* v = find(name, false);
    if (v == nullptr) return std::nullopt;
    return asString(*v, name);
  }

  const json& array(std::string_view name) const {
    const json& v = *find(name, true);
    if (!v.is_array()) fail("its \"" + std::string(name) + "\" field is not a list");
    return v;
  }

  std::string asString(const json& v, std::string_view name) const {
    if (!v.is_string()) fail("its \"" + std::string(name) + "\" field is not a string");
    return v.get<std::string>();
  }

  [[noreturn]] void fail(const std::string& what) const {
    throw GeneratedValueError("The model's response is not a valid " + std::string(record_) + ": " + what + ".");
  }

 private:
  const json& object_;
  std::string_view record_;
};

json parseGenerated(std::string_view text, std::string_view record) {
  // Engines can emit any bytes; the value read back is always valid UTF-8.
  const std::string clean = sanitizeUtf8(text);
  json value = json::parse(clean, nullptr, /*allow_exceptions=*/false);
  if (value.is_discarded()) {
    throw GeneratedValueError("The model's response is not a valid " + std::string(record) + ": it is not JSON.");
  }
  return value;
}

}  // namespace

const RecordSchema& Extract::schema() {
  return kExtractSchema;
}
const RecordSchema& Overview::schema() {
  return kOverviewSchema;
}

Extract Extract::fromGenerated(std::string_view text) {
  const json value = parseGenerated(text, "Extract");
  Reader r(value, "Extract");
  Extract e;
  for (const json& item : r.array("topics")) {
    Reader t(item, "Extract");
    e.topics.push_back(Topic{t.string("topic"), t.string("notes")});
  }
  for (const json& item : r.array("decisions")) e.decisions.push_back(r.asString(item, "decisions"));
  for (const json& item : r.array("actionItems")) {
    Reader a(item, "Extract");
    e.actionItems.push_back(ActionItem{a.string("text"), a.optionalString("owner")});
  }
  return e;
}

std::string Extract::toJson() const {
  JsonBuilder b(SlashStyle::kPlain);
  b.beginObject().key("topics").beginArray();
  for (const Topic& t : topics) b.beginObject().field("topic", t.topic).field("notes", t.notes).endObject();
  b.endArray().field("decisions", decisions).key("actionItems").beginArray();
  for (const ActionItem& a : actionItems)
    b.beginObject().field("text", a.text).optionalField("owner", a.owner).endObject();
  b.endArray().endObject();
  return b.take();
}

Overview Overview::fromGenerated(std::string_view text) {
  const json value = parseGenerated(text, "Overview");
  Reader r(value, "Overview");
  return Overview{r.string("title"), r.string("summary")};
}

std::string Overview::toJson() const {
  JsonBuilder b(SlashStyle::kPlain);
  b.beginObject().field("title", title).field("summary", summary).endObject();
  return b.take();
}

}  // namespace tavrin::llm
