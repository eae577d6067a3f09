#include "Value.h"

#include <limits>
#include <nlohmann/json.hpp>

Value Value::dictionary(std::initializer_list<std::pair<const std::string, Value>> items) {
    Dictionary d;
    for (const auto& [k, v] : items) d.emplace_back(k, v);
    return Value(std::move(d));
}

bool Value::boolValue() const {
    if (auto b = std::get_if<bool>(&m_data)) return *b;
    if (auto i = std::get_if<std::int64_t>(&m_data)) return *i != 0;
    return false;
}

std::int64_t Value::intValue() const {
    if (auto i = std::get_if<std::int64_t>(&m_data)) return *i;
    if (auto b = std::get_if<bool>(&m_data)) return *b ? 1 : 0;
    return 0;
}

const std::string& Value::text() const {
    static const std::string empty;
    auto s = std::get_if<std::string>(&m_data);
    return s ? *s : empty;
}

const Value::List& Value::list() const {
    static const List empty;
    auto l = std::get_if<std::shared_ptr<const List>>(&m_data);
    return l ? **l : empty;
}

const Value::Dictionary& Value::dict() const {
    static const Dictionary empty;
    auto d = std::get_if<std::shared_ptr<const Dictionary>>(&m_data);
    return d ? **d : empty;
}

Value Value::get(const std::string& key) const {
    for (const auto& [k, v] : dict())
        if (k == key) return v;
    return {};
}

bool Value::has(const std::string& key) const {
    for (const auto& kv : dict())
        if (kv.first == key) return true;
    return false;
}

Value Value::with(const std::string& key, Value v) const {
    Dictionary d = dict();
    for (auto& kv : d)
        if (kv.first == key) {
            kv.second = std::move(v);
            return Value(std::move(d));
        }
    d.emplace_back(key, std::move(v));
    return Value(std::move(d));
}

bool Value::operator==(const Value& other) const {
    if (type() != other.type()) return false;
    switch (type()) {
        case Type::None:
            return true;
        case Type::Boolean:
            return boolValue() == other.boolValue();
        case Type::Integer:
            return intValue() == other.intValue();
        case Type::Text:
            return text() == other.text();
        case Type::List:
            return list() == other.list();
        case Type::Dictionary: {
            // Key order does not make two dictionaries different.
            const auto& a = dict();
            const auto& b = other.dict();
            if (a.size() != b.size()) return false;
            for (const auto& [k, v] : a)
                if (!other.has(k) || other.get(k) != v) return false;
            return true;
        }
    }
    return false;
}

nlohmann::ordered_json Value::toJson() const {
    using json = nlohmann::ordered_json;
    switch (type()) {
        case Type::None:
            return json(nullptr);
        case Type::Boolean:
            return json(boolValue());
        case Type::Integer:
            return json(intValue());
        case Type::Text:
            return json(text());
        case Type::List: {
            json a = json::array();
            for (const auto& v : list()) a.push_back(v.toJson());
            return a;
        }
        case Type::Dictionary: {
            json o = json::object();
            for (const auto& [k, v] : dict()) o[k] = v.toJson();
            return o;
        }
    }
    return json(nullptr);
}

Value Value::fromJson(const nlohmann::ordered_json& j) {
    switch (j.type()) {
        case nlohmann::json::value_t::boolean:
            return Value(j.get<bool>());
        case nlohmann::json::value_t::number_integer:
            return Value(j.get<std::int64_t>());
        case nlohmann::json::value_t::number_unsigned:
            return Value(static_cast<std::int64_t>(j.get<std::uint64_t>()));
        case nlohmann::json::value_t::number_float: {
            // A hand-written 1e30 is out of any integer's range: taken as the nearest one.
            const double d = j.get<double>();
            if (!(d > -9.2e18)) return Value(std::numeric_limits<std::int64_t>::min());
            if (!(d < 9.2e18)) return Value(std::numeric_limits<std::int64_t>::max());
            return Value(static_cast<std::int64_t>(d));
        }
        case nlohmann::json::value_t::string:
            return Value(j.get<std::string>());
        case nlohmann::json::value_t::array: {
            List l;
            l.reserve(j.size());
            for (const auto& e : j) l.push_back(fromJson(e));
            return Value(std::move(l));
        }
        case nlohmann::json::value_t::object: {
            Dictionary d;
            d.reserve(j.size());
            for (auto it = j.begin(); it != j.end(); ++it) d.emplace_back(it.key(), fromJson(it.value()));
            return Value(std::move(d));
        }
        default:
            return {};
    }
}

std::string Value::dump() const { return toJson().dump(); }
