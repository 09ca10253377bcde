// The expected shape of a JSON document, written as a tree of shape objects
// bound to the variables they fill. The reader (json_reader.hpp) streams a
// document through such a tree: each value goes to the shape its position
// calls for, which stores it or stops the reading with a message.
#pragma once

#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tokenizer_tables.hpp"

namespace wordloom::json {

// A complete scalar value as the parser delivers it.
struct Scalar {
  enum class Kind : std::uint8_t { Null, Boolean, Unsigned, OtherInteger, Float, String };
  Kind kind = Kind::Null;
  std::uint64_t unsigned_value = 0;  // Unsigned: an integer in 0 .. 2^64-1
  std::string_view text;             // String: the decoded text; other kinds: as written
};

class ArrayContents;
class ObjectContents;

// What a shape may ask of the reader while the document streams through it.
class Reader {
 public:
  // The container just opened is read by `contents` up to its closing bracket.
  virtual void push(ArrayContents& contents) = 0;
  virtual void push(ObjectContents& contents) = 0;
  // The container just opened is skipped up to its closing bracket.
  virtual void skip_contents() = 0;
  // Stops the reading with `message`, placed where the reader stands. Returns
  // false, so that a failing shape can `return reader.fail(...)`.
  virtual bool fail(std::string message) = 0;

 protected:
  ~Reader() = default;
};

// What one value of the document must be. A value arrives as one call; each
// returns false once it has called reader.fail. The defaults reject the value.
class Shape {
 public:
  // The expectation as messages name it: "u32", "a sequence", "struct Config".
  virtual std::string expected() const = 0;
  virtual bool scalar(Reader& reader, const Scalar& value);
  // A shape that accepts a container pushes the contents that read it.
  virtual bool begin_array(Reader& reader);
  virtual bool begin_object(Reader& reader);

 protected:
  ~Shape() = default;
};

// Reads the elements of an array, one shape per element.
class ArrayContents {
 public:
  // The shape of the next element, or nullptr after reader.fail.
  virtual Shape* next_element(Reader& reader) = 0;
  virtual bool end_array(Reader& reader) = 0;

 protected:
  ~ArrayContents() = default;
};

// Reads the members of an object, one shape per member value.
class ObjectContents {
 public:
  // The shape of the value of member `key`, or nullptr after reader.fail.
  virtual Shape* member(Reader& reader, std::string_view key) = 0;
  virtual bool end_object(Reader& reader) = 0;

 protected:
  ~ObjectContents() = default;
};

// Any value at all, ignored (unknown members).
Shape& any_value();

// "invalid value" when `value` is an integer outside 0..max, "invalid type"
// when it is no integer; true when it may be stored.
bool check_unsigned(Reader& reader, const Scalar& value, std::uint64_t max, const Shape& shape);

// A non-negative integer that fits in T.
template <typename T>
class UnsignedValue final : public Shape {
 public:
  explicit UnsignedValue(T* target = nullptr) : target_(target) {}
  void bind(T* target) { target_ = target; }

  std::string expected() const override {
    return std::string("u").append(std::to_string(std::numeric_limits<T>::digits));
  }
  bool scalar(Reader& reader, const Scalar& value) override {
    if (!check_unsigned(reader, value, std::numeric_limits<T>::max(), *this)) return false;
    *target_ = static_cast<T>(value.unsigned_value);
    return true;
  }

 private:
  T* target_;
};

class StringValue final : public Shape {
 public:
  void bind(std::string* target) { target_ = target; }
  std::string expected() const override { return "a string"; }
  bool scalar(Reader& reader, const Scalar& value) override;

 private:
  std::string* target_ = nullptr;
};

// null and nothing else: the value of an enumeration written as an object.
class NullValue final : public Shape {
 public:
  std::string expected() const override { return "null"; }
  bool scalar(Reader& reader, const Scalar& value) override;
};

// An object whose values are non-negative integers that fit in T, added to
// the target; a repeated key keeps its last value.
template <typename T>
class UnsignedMap final : public Shape, public ObjectContents {
 public:
  explicit UnsignedMap(StringMap<T>* target) : target_(target) {}
  std::string expected() const override { return "a map"; }
  bool begin_object(Reader& reader) override {
    reader.push(*this);
    return true;
  }
  Shape* member(Reader&, std::string_view key) override {
    value_.bind(&(*target_)[key]);
    return &value_;
  }
  bool end_object(Reader&) override { return true; }

 private:
  StringMap<T>* target_;
  UnsignedValue<T> value_;
};

// An array of exactly two u32: [left, right].
class PairTuple final : public Shape, public ArrayContents {
 public:
  void bind(TokenPair* target) { target_ = target; }
  std::string expected() const override { return "a tuple of size 2"; }
  bool begin_array(Reader& reader) override;
  Shape* next_element(Reader& reader) override;
  bool end_array(Reader& reader) override;

 private:
  TokenPair* target_ = nullptr;
  std::size_t read_ = 0;  // ids read so far
  UnsignedValue<TokenId> id_;
};

// An array whose elements, each read by ElementShape, are appended to the
// target.
template <typename ElementShape, typename Element>
class ListOf final : public Shape, public ArrayContents {
 public:
  explicit ListOf(std::vector<Element>* target) : target_(target) {}
  std::string expected() const override { return "a sequence"; }
  bool begin_array(Reader& reader) override {
    reader.push(*this);
    return true;
  }
  Shape* next_element(Reader&) override {
    element_.bind(&target_->emplace_back());
    return &element_;
  }
  bool end_array(Reader&) override { return true; }

 private:
  std::vector<Element>* target_;
  ElementShape element_;
};

using StringList = ListOf<StringValue, std::string>;
using PairList = ListOf<PairTuple, TokenPair>;

// A record: an object whose members may come in any order (each field exactly
// once, unknown members skipped), or an array of all its fields in order.
class StructShape final : public Shape, public ArrayContents, public ObjectContents {
 public:
  struct Field {
    std::string_view name;
    Shape* shape;
  };
  StructShape(std::string_view name, std::vector<Field> fields);

  std::string expected() const override;
  bool begin_array(Reader& reader) override;
  bool begin_object(Reader& reader) override;
  Shape* next_element(Reader& reader) override;
  bool end_array(Reader& reader) override;
  Shape* member(Reader& reader, std::string_view key) override;
  bool end_object(Reader& reader) override;

 private:
  std::string expected_length() const;

  std::string_view name_;
  std::vector<Field> fields_;
  std::size_t elements_read_ = 0;  // array form
  std::vector<bool> field_seen_;   // object form
};

// One variant of an enumeration by name: the name as a string, or an object
// whose only member has the name as key and null as value.
class VariantShape : public Shape, public ObjectContents {
 public:
  // `names[i]` names variant i.
  VariantShape(std::string_view type_name, std::span<const std::string_view> names)
      : type_name_(type_name), names_(names) {}

  std::string expected() const override { return "enum " + std::string(type_name_); }
  bool scalar(Reader& reader, const Scalar& value) override;
  bool begin_object(Reader& reader) override;
  Shape* member(Reader& reader, std::string_view key) override;
  bool end_object(Reader& reader) override;

 protected:
  ~VariantShape() = default;
  virtual void store(std::size_t variant) = 0;

 private:
  bool select(Reader& reader, std::string_view name);

  std::string_view type_name_;
  std::span<const std::string_view> names_;
  bool selected_ = false;  // object form: a member was read
  NullValue null_;
};

// An enumeration E whose variant i is E(i).
template <typename E>
class EnumValue final : public VariantShape {
 public:
  EnumValue(std::string_view type_name, std::span<const std::string_view> names, E* target)
      : VariantShape(type_name, names), target_(target) {}

 private:
  void store(std::size_t variant) override { *target_ = static_cast<E>(variant); }
  E* target_;
};

}  // namespace wordloom::json
