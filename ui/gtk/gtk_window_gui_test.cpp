// The GTK window on a real display (Xvfb): layout, menus and status panels, and the window
// contract every backend keeps.

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <memory>
#include <string>
#include <vector>

#include "base/error.h"
#include "ui/gtk/gtk_window.h"
#include "ui/testing/window_contract.h"

namespace pmr::ui::gtk {
namespace {

struct GtkBackend {
  static std::string Unavailable() {
    return GtkAvailable() ? "" : "no display (run under xvfb-run)";
  }
  static std::unique_ptr<MainWindow> Make() {
    return std::make_unique<GtkMainWindow>(GtkWindowOptions{.echo = false, .use_tray = false});
  }
};

class GtkWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!GtkAvailable()) GTEST_SKIP() << "no display (run under xvfb-run)";
  }
};

TEST_F(GtkWindowTest, LayoutMenusAndStatusPanels) {
  GtkMainWindow window({.echo = false, .use_tray = false});
  window.SetTitle("青禾田识颜台");
  int clicks = 0;
  MenuItem settings{"设置", "N1", nullptr, {}};
  settings.children = {{"识颜台设置", "N2", [&] { ++clicks; }, {}},
                       MenuItem::Separator(),
                       {"退出", "N8", nullptr, {}}};
  window.SetMenu({{"积分", "N4", nullptr, {}}, settings});
  EXPECT_EQ(window.MenuBarCaptions(),
            (std::vector<std::string>{"积分", "设置[识颜台设置 | 退出]"}));
  window.Show();
  window.Pump(300);
  EXPECT_EQ(window.Title(), "青禾田识颜台");
  EXPECT_TRUE(window.IsVisible());
  EXPECT_EQ(window.PaneWidth(Pane::kLeft), kLeftPaneWidth);
  EXPECT_GT(window.PaneWidth(Pane::kMain), 900);
  window.SetStatus(2, "3张图片已上传...");
  EXPECT_EQ(window.Status(2), "3张图片已上传...");
  EXPECT_THROW(window.SetStatus(3, "x"), Error);
  EXPECT_EQ(window.LogLines(), std::vector<std::string>{"Memo1"});
  window.AppendLog("a\nb");
  EXPECT_EQ(window.LogLines().size(), 3u);
  window.Hide();
  EXPECT_FALSE(window.IsVisible());
}

}  // namespace
}  // namespace pmr::ui::gtk

namespace pmr::ui::testing {
INSTANTIATE_TYPED_TEST_SUITE_P(Gtk, WindowContract, gtk::GtkBackend);
}  // namespace pmr::ui::testing
