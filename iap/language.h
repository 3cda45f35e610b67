#pragma once

namespace iap {

// The language of every text a user meets: the window's menu or iap-flash's --lang chooses it.
enum class Language
{
    English,
    Chinese,
};

} // namespace iap
