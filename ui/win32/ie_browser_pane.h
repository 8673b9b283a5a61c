#pragma once

// What the IE pane shows of itself beyond BrowserPane, for its tests.

#include <string>

struct IDispatch;

namespace pmr::ui::win32 {

// Site objects that still exist: the control must let go of every site when its pane goes.
int IeLiveSiteCount();

// The pane's script call, on any object that answers to the names: the document's
// parentWindow, then its execScript(code, "javascript"), or eval(code) where the window does
// not offer execScript (newer document modes). Late-bound only (GetIDsOfNames, Invoke).
// Throws ui::ScriptError naming the step that failed; a script that failed is never run a
// second time. Call on the document's apartment thread.
void RunScriptInDocument(IDispatch* document, const std::string& code);

}  // namespace pmr::ui::win32
