#pragma once

// The main window's menu as the form builds it (captions, names, separators), for the
// backends' tests: each item adds its name to `clicks` when it is chosen.

#include <string>
#include <vector>

#include "ui/window.h"

namespace pmr::ui::testing {

inline std::vector<MenuItem> FormMenu(std::vector<std::string>& clicks) {
  auto item = [&clicks](const char* caption, const char* name) {
    MenuItem entry;
    entry.caption = caption;
    entry.name = name;
    std::string recorded = name;
    entry.on_click = [&clicks, recorded] { clicks.push_back(recorded); };
    return entry;
  };
  MenuItem settings;
  settings.caption = "设置";
  settings.name = "N1";
  settings.children = {item("识颜台设置", "N2"),   item("学校注册", "N3"), MenuItem::Separator(),
                       item("格式化识颜台", "N6"), MenuItem::Separator(),  item("退出", "N8")};
  return {item("积分", "N4"), item("考勤", "N9"), item("智校", "N10"), settings};
}

}  // namespace pmr::ui::testing
