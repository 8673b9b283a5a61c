#pragma once

// What the IE pane shows of itself beyond BrowserPane, for its tests.

namespace pmr::ui::win32 {

// Site objects that still exist: the control must let go of every site when its pane goes.
int IeLiveSiteCount();

}  // namespace pmr::ui::win32
