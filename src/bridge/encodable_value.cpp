#include "bridge/encodable_value.h"

#include <bit>
#include <cstring>

namespace flutter {
namespace {

// IEEE 754 totalOrder as an integer key: negative values are flipped so that the signed
// comparison of the keys matches the numeric order, with -0 below +0 and NaNs at the ends.
int64_t totalOrderKey(double value) {
  const int64_t bits = std::bit_cast<int64_t>(value);
  return bits < 0 ? bits ^ INT64_MAX : bits;
}

int32_t totalOrderKey(float value) {
  const int32_t bits = std::bit_cast<int32_t>(value);
  return bits < 0 ? bits ^ INT32_MAX : bits;
}

template <typename Float>
std::weak_ordering compareFloats(Float a, Float b) {
  return totalOrderKey(a) <=> totalOrderKey(b);
}

// Lexicographic comparison of two ranges with an element comparison.
template <typename Range, typename Compare>
std::weak_ordering compareRanges(const Range& a, const Range& b, Compare compareElements) {
  auto left = a.begin();
  auto right = b.begin();
  for (; left != a.end() && right != b.end(); ++left, ++right) {
    const std::weak_ordering order = compareElements(*left, *right);
    if (order != 0) return order;
  }
  return a.size() <=> b.size();
}

}  // namespace

int64_t EncodableValue::longValue() const {
  if (const auto* small = std::get_if<int32_t>(this)) return *small;
  return std::get<int64_t>(*this);
}

std::weak_ordering EncodableValue::compare(const EncodableValue& a, const EncodableValue& b) {
  if (a.index() != b.index()) return a.index() <=> b.index();
  return std::visit(
      [&b](const auto& left) -> std::weak_ordering {
        using T = std::decay_t<decltype(left)>;
        const T& right = std::get<T>(b);
        if constexpr (std::is_same_v<T, std::monostate>) {
          return std::weak_ordering::equivalent;
        } else if constexpr (std::is_same_v<T, double>) {
          return compareFloats(left, right);
        } else if constexpr (std::is_same_v<T, std::vector<double>> ||
                             std::is_same_v<T, std::vector<float>>) {
          return compareRanges(left, right, [](auto x, auto y) { return compareFloats(x, y); });
        } else if constexpr (std::is_same_v<T, EncodableList>) {
          return compareRanges(left, right, compare);
        } else if constexpr (std::is_same_v<T, EncodableMap>) {
          return compareRanges(
              left, right,
              [](const EncodableMap::value_type& x, const EncodableMap::value_type& y) {
                const std::weak_ordering keys = compare(x.first, y.first);
                return keys != 0 ? keys : compare(x.second, y.second);
              });
        } else if constexpr (std::is_same_v<T, CustomEncodableValue>) {
          if (left == right) return std::weak_ordering::equivalent;
          return left < right ? std::weak_ordering::less : std::weak_ordering::greater;
        } else {
          return left <=> right;
        }
      },
      static_cast<const EncodableVariant&>(a));
}

}  // namespace flutter
