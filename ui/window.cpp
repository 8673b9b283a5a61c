#include "ui/window.h"

namespace pmr::ui {
namespace {

const MenuItem* Find(const std::vector<MenuItem>& items, const std::string& key, bool by_name) {
  for (const MenuItem& item : items) {
    if (item.separator) continue;
    const std::string& field = by_name ? item.name : item.caption;
    if (!field.empty() && field == key) return &item;
    if (const MenuItem* found = Find(item.children, key, by_name)) return found;
  }
  return nullptr;
}

}  // namespace

const MenuItem* FindMenuItem(const std::vector<MenuItem>& items, const std::string& key) {
  if (key.empty()) return nullptr;
  if (const MenuItem* by_name = Find(items, key, true)) return by_name;
  return Find(items, key, false);
}

}  // namespace pmr::ui
