// The value type of every channel message: a tagged union of the fourteen kinds of value the
// standard message codec can carry (plus an opaque application object that it cannot).
#pragma once

#include <any>
#include <compare>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace flutter {

class EncodableValue;

using EncodableList = std::vector<EncodableValue>;
// Ordered by key; see operator< below for the order between keys of different kinds.
using EncodableMap = std::map<EncodableValue, EncodableValue>;

// An application object carried inside a value tree. The standard codec cannot write it; it
// only exists so that application code can keep its own objects next to ordinary values.
// Copies share the one object, and two custom values are equal only when they share it.
class CustomEncodableValue {
 public:
  template <typename T>
  explicit CustomEncodableValue(T object)
      : object_(std::make_shared<const std::any>(std::move(object))) {}

  const std::any& object() const { return *object_; }

  friend bool operator==(const CustomEncodableValue& a, const CustomEncodableValue& b) {
    return a.object_ == b.object_;
  }
  friend bool operator<(const CustomEncodableValue& a, const CustomEncodableValue& b) {
    return std::less<const std::any*>()(a.object_.get(), b.object_.get());
  }

 private:
  std::shared_ptr<const std::any> object_;
};

// The alternatives in their fixed order; index() of a value is its position here.
using EncodableVariant = std::variant<std::monostate,        // 0 null
                                      bool,                  // 1
                                      int32_t,               // 2
                                      int64_t,               // 3
                                      double,                // 4
                                      std::string,           // 5 UTF-8
                                      std::vector<uint8_t>,  // 6
                                      std::vector<int32_t>,  // 7
                                      std::vector<int64_t>,  // 8
                                      std::vector<double>,   // 9
                                      EncodableList,         // 10
                                      EncodableMap,          // 11
                                      CustomEncodableValue,  // 12
                                      std::vector<float>>;   // 13

class EncodableValue : public EncodableVariant {
 public:
  using EncodableVariant::EncodableVariant;
  using EncodableVariant::operator=;

  EncodableValue() = default;
  // Without this a string literal would pick the bool alternative.
  EncodableValue(const char* text) : EncodableVariant(std::string(text)) {}
  EncodableValue& operator=(const char* text) {
    EncodableVariant::operator=(std::string(text));
    return *this;
  }

  bool isNull() const { return std::holds_alternative<std::monostate>(*this); }

  // Either integer alternative widened to 64 bits. Throws std::bad_variant_access for any
  // other alternative.
  int64_t longValue() const;

  // A total order: first by alternative index, then by content. Doubles and floats are ordered
  // by their IEEE total order (so NaN keys and signed zeros keep a map well formed), and
  // equality agrees with the order: NaN equals the same NaN, 0.0 differs from -0.0.
  // Declaring operator<=> here also keeps comparisons away from std::variant's own, whose
  // constraints would recurse through the list and map alternatives.
  friend std::weak_ordering operator<=>(const EncodableValue& a, const EncodableValue& b) {
    return compare(a, b);
  }
  friend bool operator<(const EncodableValue& a, const EncodableValue& b) {
    return compare(a, b) < 0;
  }
  friend bool operator==(const EncodableValue& a, const EncodableValue& b) {
    return compare(a, b) == 0;
  }

 private:
  static std::weak_ordering compare(const EncodableValue& a, const EncodableValue& b);
};

}  // namespace flutter
