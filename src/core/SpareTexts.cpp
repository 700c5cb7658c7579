#include "core/SpareTexts.h"

#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>

namespace quillet {
namespace {

struct Pool {
    std::mutex mutex;
    std::deque<std::string> texts;  // a deque never moves what it holds
    std::unordered_map<std::string_view, std::uint32_t> numbers;
};

Pool& ThePool()
{
    static Pool* pool = new Pool;  // outlives every record, also at exit
    return *pool;
}

}  // namespace

std::uint32_t SpareTexts::Intern(std::string_view text)
{
    Pool& pool = ThePool();
    std::lock_guard lock(pool.mutex);
    if (auto it = pool.numbers.find(text); it != pool.numbers.end())
        return it->second;
    const auto number = static_cast<std::uint32_t>(pool.texts.size());
    pool.texts.emplace_back(text);
    try {
        pool.numbers.emplace(pool.texts.back(), number);
    } catch (...) {
        pool.texts.pop_back();
        throw;
    }
    return number;
}

std::string_view SpareTexts::At(std::uint32_t number)
{
    Pool& pool = ThePool();
    std::lock_guard lock(pool.mutex);
    return number < pool.texts.size() ? std::string_view(pool.texts[number]) : std::string_view();
}

std::uint32_t SpareTexts::Count()
{
    Pool& pool = ThePool();
    std::lock_guard lock(pool.mutex);
    return static_cast<std::uint32_t>(pool.texts.size());
}

}  // namespace quillet
