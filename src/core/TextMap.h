#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace quillet {

struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

// A map keyed by text, compared exactly and case-sensitively. Storing under an
// existing key replaces the value; looking a key up never adds it.
template <typename V>
class TextMap {
public:
    bool exists(std::string_view key) const { return map_.find(key) != map_.end(); }

    // The value under key, or nullptr.
    const V* find(std::string_view key) const
    {
        auto it = map_.find(key);
        return it == map_.end() ? nullptr : &it->second;
    }
    V* find(std::string_view key)
    {
        auto it = map_.find(key);
        return it == map_.end() ? nullptr : &it->second;
    }

    void assign(std::string_view key, V value)
    {
        auto it = map_.find(key);
        if (it == map_.end())
            map_.emplace(std::string(key), std::move(value));
        else
            it->second = std::move(value);
    }

    bool remove(std::string_view key)
    {
        auto it = map_.find(key);
        if (it == map_.end())
            return false;
        map_.erase(it);
        return true;
    }

    std::size_t count() const { return map_.size(); }
    void clear() { map_.clear(); }

    auto begin() const { return map_.begin(); }
    auto end() const { return map_.end(); }

private:
    std::unordered_map<std::string, V, TextHash, std::equal_to<>> map_;
};

}  // namespace quillet
