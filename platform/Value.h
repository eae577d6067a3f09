#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <utility>
#include <variant>
#include <vector>

// A typed, immutable value of the preferences store and of field access by name.
// None is a state of its own: it stands for "unset", distinct from empty text or an empty list.
class Value {
public:
    enum class Type { None, Boolean, Integer, Text, List, Dictionary };
    using List = std::vector<Value>;
    // Dictionaries keep their keys in insertion order (a stored dictionary is applied in its own order).
    using Dictionary = std::vector<std::pair<std::string, Value>>;

    Value() = default;
    Value(bool b) : m_data(b) {}
    Value(int i) : m_data(static_cast<std::int64_t>(i)) {}
    Value(std::int64_t i) : m_data(i) {}
    Value(const char* s) : m_data(std::string(s)) {}
    Value(std::string s) : m_data(std::move(s)) {}
    Value(List l) : m_data(std::make_shared<const List>(std::move(l))) {}
    Value(Dictionary d) : m_data(std::make_shared<const Dictionary>(std::move(d))) {}

    static Value dictionary(std::initializer_list<std::pair<const std::string, Value>> items);

    Type type() const { return static_cast<Type>(m_data.index()); }
    bool isNone() const { return type() == Type::None; }
    bool isBoolean() const { return type() == Type::Boolean; }
    bool isInteger() const { return type() == Type::Integer; }
    bool isText() const { return type() == Type::Text; }
    bool isList() const { return type() == Type::List; }
    bool isDictionary() const { return type() == Type::Dictionary; }

    // Lenient readers: a boolean or integer reads as a flag (nonzero is on); anything else is off.
    bool boolValue() const;
    std::int64_t intValue() const;
    const std::string& text() const;  // empty text unless a text
    const List& list() const;         // empty list unless a list
    const Dictionary& dict() const;   // empty dictionary unless a dictionary

    // Dictionary lookup; None when absent or not a dictionary.
    Value get(const std::string& key) const;
    bool has(const std::string& key) const;
    // A copy of this dictionary with key set (appended when new).
    Value with(const std::string& key, Value v) const;

    bool operator==(const Value& other) const;
    bool operator!=(const Value& other) const { return !(*this == other); }

    nlohmann::ordered_json toJson() const;
    static Value fromJson(const nlohmann::ordered_json& j);
    std::string dump() const;  // compact JSON, for logs and test messages

private:
    std::variant<std::monostate, bool, std::int64_t, std::string, std::shared_ptr<const List>,
                 std::shared_ptr<const Dictionary>>
        m_data;
};
