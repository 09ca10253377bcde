#include "json_shapes.hpp"

#include <algorithm>

#include "text_escape.hpp"

namespace wordloom::json {
namespace {

// "integer `5`", "string \"a\"": a scalar as messages name it.
std::string describe(const Scalar& value) {
  using Kind = Scalar::Kind;
  const std::string text(value.text);
  switch (value.kind) {
    case Kind::Null: return "null";
    case Kind::Boolean: return "boolean `" + text + "`";
    case Kind::Unsigned: return "integer `" + std::to_string(value.unsigned_value) + "`";
    case Kind::OtherInteger: return "integer `" + text + "`";
    case Kind::Float: return "floating point `" + text + "`";
    case Kind::String: return "string \"" + escaped(text, EscapeStyle::OneLine) + "\"";
  }
  return text;
}

bool fail_invalid_type(Reader& reader, const std::string& found, const Shape& shape) {
  return reader.fail("invalid type: " + found + ", expected " + shape.expected());
}

std::string too_many_elements(const std::string& expected) { return "too many elements, expected " + expected; }

std::string invalid_length(std::size_t length, const std::string& expected) {
  return "invalid length " + std::to_string(length) + ", expected " + expected;
}

// "`A` or `B`", "`A`, `B` or `C`".
std::string alternatives(std::span<const std::string_view> names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text += i + 1 == names.size() ? " or " : ", ";
    text.append("`").append(names[i]).append("`");
  }
  return text;
}

class AnyValue final : public Shape {
 public:
  std::string expected() const override { return "any value"; }
  bool scalar(Reader&, const Scalar&) override { return true; }
  bool begin_array(Reader& reader) override {
    reader.skip_contents();
    return true;
  }
  bool begin_object(Reader& reader) override {
    reader.skip_contents();
    return true;
  }
};

}  // namespace

bool Shape::scalar(Reader& reader, const Scalar& value) { return fail_invalid_type(reader, describe(value), *this); }
bool Shape::begin_array(Reader& reader) { return fail_invalid_type(reader, "sequence", *this); }
bool Shape::begin_object(Reader& reader) { return fail_invalid_type(reader, "map", *this); }

Shape& any_value() {
  static AnyValue shape;  // stateless, so one instance serves every reader
  return shape;
}

bool check_unsigned(Reader& reader, const Scalar& value, std::uint64_t max, const Shape& shape) {
  switch (value.kind) {
    case Scalar::Kind::Unsigned:
      if (value.unsigned_value <= max) return true;
      [[fallthrough]];
    case Scalar::Kind::OtherInteger:
      return reader.fail("invalid value: " + describe(value) + ", expected " + shape.expected());
    default:
      return fail_invalid_type(reader, describe(value), shape);
  }
}

bool StringValue::scalar(Reader& reader, const Scalar& value) {
  if (value.kind != Scalar::Kind::String) return Shape::scalar(reader, value);
  target_->assign(value.text);
  return true;
}

bool NullValue::scalar(Reader& reader, const Scalar& value) {
  return value.kind == Scalar::Kind::Null || Shape::scalar(reader, value);
}

bool PairTuple::begin_array(Reader& reader) {
  read_ = 0;
  reader.push(*this);
  return true;
}

Shape* PairTuple::next_element(Reader& reader) {
  if (read_ == 2) {
    reader.fail(too_many_elements(expected()));
    return nullptr;
  }
  id_.bind(read_++ == 0 ? &target_->left : &target_->right);
  return &id_;
}

bool PairTuple::end_array(Reader& reader) { return read_ == 2 || reader.fail(invalid_length(read_, expected())); }

StructShape::StructShape(std::string_view name, std::vector<Field> fields)
    : name_(name), fields_(std::move(fields)) {}

std::string StructShape::expected() const { return "struct " + std::string(name_); }

std::string StructShape::expected_length() const {
  return expected() + " with " + std::to_string(fields_.size()) + " elements";
}

bool StructShape::begin_array(Reader& reader) {
  elements_read_ = 0;
  reader.push(static_cast<ArrayContents&>(*this));
  return true;
}

bool StructShape::begin_object(Reader& reader) {
  field_seen_.assign(fields_.size(), false);
  reader.push(static_cast<ObjectContents&>(*this));
  return true;
}

Shape* StructShape::next_element(Reader& reader) {
  if (elements_read_ == fields_.size()) {
    reader.fail(too_many_elements(expected_length()));
    return nullptr;
  }
  return fields_[elements_read_++].shape;
}

bool StructShape::end_array(Reader& reader) {
  return elements_read_ == fields_.size() || reader.fail(invalid_length(elements_read_, expected_length()));
}

Shape* StructShape::member(Reader& reader, std::string_view key) {
  const auto field = std::find_if(fields_.begin(), fields_.end(), [&](const Field& f) { return f.name == key; });
  if (field == fields_.end()) return &any_value();
  const auto index = static_cast<std::size_t>(field - fields_.begin());
  if (field_seen_[index]) {
    reader.fail("duplicate field `" + std::string(key) + "`");
    return nullptr;
  }
  field_seen_[index] = true;
  return field->shape;
}

bool StructShape::end_object(Reader& reader) {
  for (std::size_t i = 0; i < fields_.size(); ++i) {
    if (!field_seen_[i]) return reader.fail("missing field `" + std::string(fields_[i].name) + "`");
  }
  return true;
}

bool VariantShape::scalar(Reader& reader, const Scalar& value) {
  if (value.kind != Scalar::Kind::String) return Shape::scalar(reader, value);
  return select(reader, value.text);
}

bool VariantShape::begin_object(Reader& reader) {
  selected_ = false;
  reader.push(*this);
  return true;
}

Shape* VariantShape::member(Reader& reader, std::string_view key) {
  if (selected_) {
    fail_invalid_type(reader, "map with more than one member", *this);
    return nullptr;
  }
  if (!select(reader, key)) return nullptr;
  selected_ = true;
  return &null_;
}

bool VariantShape::end_object(Reader& reader) {
  return selected_ || fail_invalid_type(reader, "empty map", *this);
}

bool VariantShape::select(Reader& reader, std::string_view name) {
  const auto found = std::find(names_.begin(), names_.end(), name);
  if (found == names_.end()) {
    return reader.fail("unknown variant `" + escaped(name, EscapeStyle::OneLine) + "`, expected " +
                       alternatives(names_));
  }
  store(static_cast<std::size_t>(found - names_.begin()));
  return true;
}

}  // namespace wordloom::json
