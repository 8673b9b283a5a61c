#include "ui/gtk/gtk_window.h"

#include <gtk/gtk.h>
#include <libayatana-appindicator/app-indicator.h>
#include <webkit2/webkit2.h>

#include <cstdio>
#include <mutex>
#include <thread>

#include "base/error.h"
#include "ui/diagnostics.h"
#include "ui/dispatcher.h"
#include "ui/log_memo.h"

namespace pmr::ui::gtk {
namespace {

const char* PaneName(Pane pane) { return pane == Pane::kMain ? "main" : "left"; }
int PaneIndex(Pane pane) { return pane == Pane::kMain ? 0 : 1; }

// GTK refuses text that is not UTF-8; the program's texts are, but a terminal's may not be.
std::string ValidUtf8(const std::string& text) {
  if (g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr)) return text;
  gchar* valid = g_utf8_make_valid(text.data(), static_cast<gssize>(text.size()));
  std::string out(valid);
  g_free(valid);
  return out;
}

}  // namespace

bool GtkAvailable() {
  static const bool available = gtk_init_check(nullptr, nullptr);
  return available;
}

namespace {

gboolean RunOneQueued(gpointer data);

}  // namespace

// What other threads share with the UI thread. Idle sources hold it by shared_ptr, so a
// source that fires after the window has gone finds `impl` empty and does nothing.
struct Core : std::enable_shared_from_this<Core> {
  // One idle source at a time, at default priority so timers and input still run between
  // the closures.
  Dispatcher dispatcher{[this] {
    g_idle_add_full(G_PRIORITY_DEFAULT, RunOneQueued, new std::shared_ptr<Core>(shared_from_this()),
                    [](gpointer data) { delete static_cast<std::shared_ptr<Core>*>(data); });
    return true;
  }};
  GtkMainWindow::Impl* impl = nullptr;  // UI thread only
};

class GtkTimer : public Timer {
 public:
  GtkTimer(std::shared_ptr<Core> core, std::chrono::milliseconds interval,
           std::function<void()> on_tick)
      : tick_(std::move(on_tick)), core_(std::move(core)), interval_(Clamp(interval)) {}
  ~GtkTimer() override { Disarm(); }

  void Arm() override {
    std::lock_guard lock(mutex_);
    if (armed_) return;
    armed_ = true;
    ++generation_;
    source_ = g_timeout_source_new(static_cast<guint>(interval_.count()));
    g_source_set_callback(source_, &GtkTimer::OnTick, new TickData{this, generation_},
                          [](gpointer data) { delete static_cast<TickData*>(data); });
    g_source_attach(source_, nullptr);
  }
  void Disarm() override {
    std::lock_guard lock(mutex_);
    armed_ = false;
    DropSource();
  }
  void SetInterval(std::chrono::milliseconds interval) override {
    std::lock_guard lock(mutex_);
    interval_ = Clamp(interval);
  }
  bool Armed() const override {
    std::lock_guard lock(mutex_);
    return armed_;
  }

 private:
  struct TickData {
    GtkTimer* timer;
    unsigned generation;
  };

  static std::chrono::milliseconds Clamp(std::chrono::milliseconds interval) {
    return std::max(interval, std::chrono::milliseconds(0));
  }

  void DropSource() {  // mutex_ held
    if (source_ == nullptr) return;
    g_source_destroy(source_);
    g_source_unref(source_);
    source_ = nullptr;
  }

  static gboolean OnTick(gpointer data);

  const std::function<void()> tick_;
  const std::shared_ptr<Core> core_;
  mutable std::mutex mutex_;
  std::chrono::milliseconds interval_;
  bool armed_ = false;
  unsigned generation_ = 0;  // tells a stale source from the current arming
  GSource* source_ = nullptr;
};

struct ScriptCall {
  bool done = false;
  bool failed = false;
  std::string result;
  GMainLoop* loop = nullptr;
  ~ScriptCall() {
    if (loop != nullptr) g_main_loop_unref(loop);
  }
};

struct GtkMainWindow::Impl {
  explicit Impl(GtkMainWindow& owner, GtkWindowOptions opts) : self(owner), options(opts) {}

  GtkMainWindow& self;
  GtkWindowOptions options;
  std::shared_ptr<Core> core = std::make_shared<Core>();
  std::vector<std::unique_ptr<GtkTimer>> timers;

  GtkWidget* window = nullptr;
  GtkWidget* menu_bar = nullptr;
  GtkWidget* views[2] = {nullptr, nullptr};
  GtkWidget* status_labels[kStatusPanelCount] = {};
  std::string status[kStatusPanelCount];
  LogMemo memo;
  GMainLoop* loop = nullptr;
  std::vector<GtkWidget*> boxes;  // open modal dialogs
  std::vector<GMainLoop*> waits;  // script calls waiting for their result
  std::vector<std::unique_ptr<std::function<void()>>> menu_actions;

  AppIndicator* indicator = nullptr;
  GtkWidget* tray_menu = nullptr;
  GtkWidget* tray_show_item = nullptr;
  bool tray_connected = false;
  bool has_tray_icon = false;
  guint tray_check = 0;  // the pending look whether the icon reached the host
  int tray_remakes = 0;  // since the icon was last added
  int indicators_made = 0;

  std::function<void()> on_minimize;
  std::function<void(bool&)> on_close;
  std::function<void(TrayButton)> on_tray_click;
  std::function<void()> on_activate;
  std::function<void(const std::string&, bool&)> before_navigate[2];

  void Emit(const std::string& line) {
    if (options.echo) WriteDiagnosticLine(line);
  }

  void CheckUiThread(const char* operation) const { core->dispatcher.CheckUiThread(operation); }

  // The default error report, also on standard error.
  void RunGuarded(const std::function<void()>& fn) {
    RunReportingErrors(fn, [this](const std::string& error) {
      std::fprintf(stderr, "pmrface: %s\n", error.c_str());
      Emit(error);
    });
  }

  bool Quitting() { return core->dispatcher.Quitting(); }

  // On the UI thread after Quit: ends every loop that runs, innermost first.
  void EndLoops() {
    for (GtkWidget* box : boxes) gtk_dialog_response(GTK_DIALOG(box), GTK_RESPONSE_CANCEL);
    for (GMainLoop* wait : waits) g_main_loop_quit(wait);
    if (loop != nullptr) g_main_loop_quit(loop);
  }

  void Build();
  void BuildMenu(GtkWidget* shell, const std::vector<MenuItem>& items);
  void EnsureIndicator();
  void ShowIndicator(const std::string& title);  // made if need be, with the title, active
  void WatchTrayRegistration();
  void RemakeIndicator();
  // Before-navigate for one pane; true when the navigation goes ahead.
  bool BeforeNavigate(Pane pane, const std::string& url) {
    bool cancel = false;
    // A copy: the handler may replace itself.
    if (auto handler = before_navigate[PaneIndex(pane)]) handler(url, cancel);
    Emit(std::string("navigate[") + PaneName(pane) + "]: " + url + (cancel ? " (cancelled)" : ""));
    return !cancel;
  }
  Pane PaneOfView(GtkWidget* view) const { return view == views[0] ? Pane::kMain : Pane::kLeft; }
};

namespace {

gboolean RunOneQueued(gpointer data) {
  const std::shared_ptr<Core>& core = *static_cast<std::shared_ptr<Core>*>(data);
  if (core->impl == nullptr) return G_SOURCE_REMOVE;
  if (std::function<void()> work = core->dispatcher.TakeNext()) core->impl->RunGuarded(work);
  return G_SOURCE_REMOVE;
}

gboolean QuitOnUi(gpointer data) {
  const std::shared_ptr<Core>& core = *static_cast<std::shared_ptr<Core>*>(data);
  if (core->impl != nullptr) core->impl->EndLoops();
  return G_SOURCE_REMOVE;
}

}  // namespace

gboolean GtkTimer::OnTick(gpointer data) {
  auto* tick_data = static_cast<TickData*>(data);
  GtkTimer* timer = tick_data->timer;
  {
    std::lock_guard lock(timer->mutex_);
    if (!timer->armed_ || timer->generation_ != tick_data->generation) return G_SOURCE_REMOVE;
    timer->armed_ = false;  // a tick disarms first
    // The source ends when this returns; only our reference goes now.
    g_source_unref(timer->source_);
    timer->source_ = nullptr;
  }
  const std::shared_ptr<Core>& core = timer->core_;
  if (core->dispatcher.Quitting() || core->impl == nullptr) return G_SOURCE_REMOVE;
  core->impl->RunGuarded(timer->tick_);
  return G_SOURCE_REMOVE;
}

// --- Construction ---

namespace {

gboolean OnDelete(GtkWidget*, GdkEvent*, gpointer data) {
  auto* impl = static_cast<GtkMainWindow::Impl*>(data);
  impl->RunGuarded([impl] { impl->self.Close(); });
  return TRUE;  // the close handler decided; GTK never destroys the window itself
}

gboolean OnWindowState(GtkWidget*, GdkEventWindowState* event, gpointer data) {
  auto* impl = static_cast<GtkMainWindow::Impl*>(data);
  if ((event->changed_mask & GDK_WINDOW_STATE_ICONIFIED) &&
      (event->new_window_state & GDK_WINDOW_STATE_ICONIFIED)) {
    if (auto handler = impl->on_minimize) impl->RunGuarded(handler);
  }
  return FALSE;
}

std::string RequestUri(WebKitNavigationAction* action) {
  if (action == nullptr) return {};
  WebKitURIRequest* request = webkit_navigation_action_get_request(action);
  const gchar* uri = request ? webkit_uri_request_get_uri(request) : nullptr;
  return uri ? uri : "";
}

// A page's wish for a new window: the same pane goes there, through its before-navigate
// handler, like any other navigation of that pane.
void OpenInSamePane(GtkMainWindow::Impl* impl, Pane pane, const std::string& url) {
  if (url.empty() || url == "about:blank") return;
  // After the view's signal has returned; an idle of its own, since the window's queue
  // waits for Run and the view also navigates in modal boxes and before the loop.
  struct Pending {
    std::shared_ptr<Core> core;
    Pane pane;
    std::string url;
  };
  g_idle_add_full(
      G_PRIORITY_DEFAULT,
      [](gpointer data) -> gboolean {
        auto* pending = static_cast<Pending*>(data);
        if (GtkMainWindow::Impl* live = pending->core->impl) {
          live->RunGuarded([&] { live->self.Navigate(pending->pane, pending->url); });
        }
        return G_SOURCE_REMOVE;
      },
      new Pending{impl->core, pane, url},
      [](gpointer data) { delete static_cast<Pending*>(data); });
}

gboolean OnDecidePolicy(WebKitWebView* view, WebKitPolicyDecision* decision,
                        WebKitPolicyDecisionType type, gpointer data) {
  auto* impl = static_cast<GtkMainWindow::Impl*>(data);
  if (type != WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION &&
      type != WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION) {
    return FALSE;
  }
  Pane pane = impl->PaneOfView(GTK_WIDGET(view));
  WebKitNavigationAction* action = webkit_navigation_policy_decision_get_navigation_action(
      WEBKIT_NAVIGATION_POLICY_DECISION(decision));
  std::string url = RequestUri(action);
  if (type == WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION) {
    webkit_policy_decision_ignore(decision);
    OpenInSamePane(impl, pane, url);
    return TRUE;
  }
  bool go = true;
  impl->RunGuarded([&] { go = impl->BeforeNavigate(pane, url); });
  if (go) return FALSE;
  webkit_policy_decision_ignore(decision);
  return TRUE;
}

GtkWidget* OnCreate(WebKitWebView* view, WebKitNavigationAction* action, gpointer data) {
  auto* impl = static_cast<GtkMainWindow::Impl*>(data);
  OpenInSamePane(impl, impl->PaneOfView(GTK_WIDGET(view)), RequestUri(action));
  return nullptr;  // never a second window
}

}  // namespace

void GtkMainWindow::Impl::Build() {
  window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  g_object_ref_sink(window);
  gtk_window_set_default_size(GTK_WINDOW(window), kWindowWidth, kWindowHeight);
  gtk_window_set_position(GTK_WINDOW(window), GTK_WIN_POS_CENTER);
  g_signal_connect(window, "delete-event", G_CALLBACK(OnDelete), this);
  g_signal_connect(window, "window-state-event", G_CALLBACK(OnWindowState), this);

  GtkWidget* column = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
  gtk_container_add(GTK_CONTAINER(window), column);

  menu_bar = gtk_menu_bar_new();
  gtk_box_pack_start(GTK_BOX(column), menu_bar, FALSE, FALSE, 0);

  GtkWidget* panel = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0);
  gtk_box_pack_start(GTK_BOX(column), panel, TRUE, TRUE, 0);
  for (int i = 0; i < 2; ++i) {
    views[i] = webkit_web_view_new();
    // The portal's pages open windows from script as the old control let them; each such
    // wish is routed to the same pane's before-navigate handler.
    webkit_settings_set_javascript_can_open_windows_automatically(
        webkit_web_view_get_settings(WEBKIT_WEB_VIEW(views[i])), TRUE);
    g_signal_connect(views[i], "decide-policy", G_CALLBACK(OnDecidePolicy), this);
    g_signal_connect(views[i], "create", G_CALLBACK(OnCreate), this);
  }
  GtkWidget* left = views[PaneIndex(Pane::kLeft)];
  GtkWidget* main = views[PaneIndex(Pane::kMain)];
  gtk_widget_set_size_request(left, kLeftPaneWidth, -1);
  gtk_box_pack_start(GTK_BOX(panel), left, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(panel), main, TRUE, TRUE, 0);

  // Three fixed panels; GtkStatusbar holds one text only.
  GtkWidget* status_bar = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0);
  gtk_box_pack_end(GTK_BOX(column), status_bar, FALSE, FALSE, 0);
  for (int i = 0; i < kStatusPanelCount; ++i) {
    status_labels[i] = gtk_label_new("");
    gtk_label_set_xalign(GTK_LABEL(status_labels[i]), 0.0f);
    gtk_label_set_ellipsize(GTK_LABEL(status_labels[i]), PANGO_ELLIPSIZE_END);
    gtk_widget_set_size_request(status_labels[i], kStatusPanelWidths[i], -1);
    gtk_box_pack_start(GTK_BOX(status_bar), status_labels[i], FALSE, FALSE, 2);
  }
  gtk_widget_show_all(column);
}

void GtkMainWindow::Impl::BuildMenu(GtkWidget* shell, const std::vector<MenuItem>& items) {
  for (const MenuItem& item : items) {
    if (item.separator) {
      gtk_menu_shell_append(GTK_MENU_SHELL(shell), gtk_separator_menu_item_new());
      continue;
    }
    GtkWidget* widget = gtk_menu_item_new_with_label(ValidUtf8(item.caption).c_str());
    gtk_widget_set_name(widget, item.name.c_str());
    if (!item.children.empty()) {
      GtkWidget* sub = gtk_menu_new();
      BuildMenu(sub, item.children);
      gtk_menu_item_set_submenu(GTK_MENU_ITEM(widget), sub);
    } else if (item.on_click) {
      menu_actions.push_back(std::make_unique<std::function<void()>>(item.on_click));
      g_signal_connect(widget, "activate", G_CALLBACK(+[](GtkMenuItem*, gpointer data) {
                         std::function<void()> click = *static_cast<std::function<void()>*>(data);
                         if (click) click();
                       }),
                       menu_actions.back().get());
    }
    gtk_menu_shell_append(GTK_MENU_SHELL(shell), widget);
  }
}

GtkMainWindow::GtkMainWindow(GtkWindowOptions options)
    : impl_(std::make_unique<Impl>(*this, options)) {
  if (!GtkAvailable()) throw Error("ui: no display for the GTK window");
  impl_->core->impl = impl_.get();
  impl_->Build();
}

GtkMainWindow::~GtkMainWindow() {
  impl_->core->dispatcher.Finish();
  impl_->timers.clear();
  if (impl_->tray_check != 0) g_source_remove(impl_->tray_check);
  if (impl_->indicator != nullptr) {
    g_signal_handlers_disconnect_by_data(impl_->indicator, impl_.get());
    g_object_unref(impl_->indicator);
  }
  if (impl_->tray_menu != nullptr) {
    gtk_widget_destroy(impl_->tray_menu);
    g_object_unref(impl_->tray_menu);  // the reference taken when the menu was made
  }
  gtk_widget_destroy(impl_->window);
  g_object_unref(impl_->window);
  impl_->core->impl = nullptr;
}

// --- Loop ---

void GtkMainWindow::Run() {
  impl_->CheckUiThread("Run");
  if (!impl_->core->dispatcher.Start()) return;
  Show();
  if (!impl_->Quitting()) {
    impl_->loop = g_main_loop_new(nullptr, FALSE);
    g_main_loop_run(impl_->loop);
    g_main_loop_unref(impl_->loop);
    impl_->loop = nullptr;
  }
  impl_->core->dispatcher.Finish();
}

void GtkMainWindow::Quit() {
  impl_->core->dispatcher.Quit();
  g_idle_add_full(G_PRIORITY_HIGH, QuitOnUi, new std::shared_ptr<Core>(impl_->core),
                  [](gpointer data) { delete static_cast<std::shared_ptr<Core>*>(data); });
}

void GtkMainWindow::Post(std::function<void()> fn) { impl_->core->dispatcher.Post(std::move(fn)); }

bool GtkMainWindow::RunOnUiThread(std::function<void()> fn) {
  return impl_->core->dispatcher.Invoke(fn);
}

bool GtkMainWindow::OnUiThread() const { return impl_->core->dispatcher.OnUiThread(); }

void GtkMainWindow::Pump(int ms) {
  impl_->CheckUiThread("Pump");
  GMainLoop* wait = g_main_loop_new(nullptr, FALSE);
  guint id = g_timeout_add(
      static_cast<guint>(std::max(ms, 0)),
      [](gpointer data) -> gboolean {
        g_main_loop_quit(static_cast<GMainLoop*>(data));
        return G_SOURCE_REMOVE;
      },
      wait);
  g_main_loop_run(wait);
  (void)id;
  g_main_loop_unref(wait);
}

// --- Window ---

void GtkMainWindow::SetTitle(const std::string& title) {
  impl_->CheckUiThread("SetTitle");
  gtk_window_set_title(GTK_WINDOW(impl_->window), ValidUtf8(title).c_str());
  impl_->Emit("title: " + title);
}

std::string GtkMainWindow::Title() const {
  impl_->CheckUiThread("Title");
  const gchar* title = gtk_window_get_title(GTK_WINDOW(impl_->window));
  return title ? title : "";
}

void GtkMainWindow::Show() {
  impl_->CheckUiThread("Show");
  gtk_widget_show(impl_->window);
  impl_->Emit("window: show");
}

void GtkMainWindow::Hide() {
  impl_->CheckUiThread("Hide");
  gtk_widget_hide(impl_->window);
  impl_->Emit("window: hide");
}

void GtkMainWindow::Restore() {
  impl_->CheckUiThread("Restore");
  gtk_window_deiconify(GTK_WINDOW(impl_->window));
  gtk_window_unmaximize(GTK_WINDOW(impl_->window));
  impl_->Emit("window: restore");
}

void GtkMainWindow::BringToFront() {
  impl_->CheckUiThread("BringToFront");
  gtk_window_present(GTK_WINDOW(impl_->window));
  impl_->Emit("window: front");
}

void GtkMainWindow::Focus() {
  impl_->CheckUiThread("Focus");
  gtk_window_present_with_time(GTK_WINDOW(impl_->window), GDK_CURRENT_TIME);
  gtk_widget_grab_focus(impl_->views[PaneIndex(Pane::kMain)]);
  impl_->Emit("window: focus");
}

bool GtkMainWindow::IsVisible() const {
  impl_->CheckUiThread("IsVisible");
  return gtk_widget_get_visible(impl_->window);
}

void GtkMainWindow::Close() {
  impl_->CheckUiThread("Close");
  bool allow = true;
  if (auto handler = impl_->on_close) handler(allow);
  if (!allow) return;
  gtk_widget_hide(impl_->window);
  impl_->Emit("window: close");
  Quit();
}

void GtkMainWindow::SetMenu(std::vector<MenuItem> items) {
  impl_->CheckUiThread("SetMenu");
  GList* children = gtk_container_get_children(GTK_CONTAINER(impl_->menu_bar));
  for (GList* child = children; child != nullptr; child = child->next) {
    gtk_widget_destroy(GTK_WIDGET(child->data));
  }
  g_list_free(children);
  // The old actions go after their widgets: a running click holds its own copy.
  impl_->menu_actions.clear();
  impl_->BuildMenu(impl_->menu_bar, items);
  gtk_widget_show_all(impl_->menu_bar);
}

namespace {

void DescribeShell(GtkWidget* shell, std::string& out) {
  GList* children = gtk_container_get_children(GTK_CONTAINER(shell));
  bool first = true;
  for (GList* child = children; child != nullptr; child = child->next) {
    GtkWidget* widget = GTK_WIDGET(child->data);
    if (!first) out += ' ';
    first = false;
    if (GTK_IS_SEPARATOR_MENU_ITEM(widget)) {
      out += '|';
      continue;
    }
    const gchar* label = gtk_menu_item_get_label(GTK_MENU_ITEM(widget));
    out += label ? label : "";
    if (GtkWidget* sub = gtk_menu_item_get_submenu(GTK_MENU_ITEM(widget))) {
      out += '[';
      DescribeShell(sub, out);
      out += ']';
    }
  }
  g_list_free(children);
}

}  // namespace

std::vector<std::string> GtkMainWindow::MenuBarCaptions() const {
  impl_->CheckUiThread("MenuBarCaptions");
  std::vector<std::string> captions;
  GList* children = gtk_container_get_children(GTK_CONTAINER(impl_->menu_bar));
  for (GList* child = children; child != nullptr; child = child->next) {
    std::string one;
    GtkWidget* widget = GTK_WIDGET(child->data);
    const gchar* label = gtk_menu_item_get_label(GTK_MENU_ITEM(widget));
    one = label ? label : "";
    if (GtkWidget* sub = gtk_menu_item_get_submenu(GTK_MENU_ITEM(widget))) {
      one += '[';
      DescribeShell(sub, one);
      one += ']';
    }
    captions.push_back(one);
  }
  g_list_free(children);
  return captions;
}

int GtkMainWindow::PaneWidth(Pane pane) const {
  impl_->CheckUiThread("PaneWidth");
  return gtk_widget_get_allocated_width(impl_->views[PaneIndex(pane)]);
}

void* GtkMainWindow::NativeWindow() const { return impl_->window; }
void* GtkMainWindow::NativePane(Pane pane) const { return impl_->views[PaneIndex(pane)]; }

void GtkMainWindow::AppendLog(const std::string& line) {
  impl_->CheckUiThread("AppendLog");
  for (const std::string& added : impl_->memo.Append(line)) impl_->Emit("log: " + added);
}

std::vector<std::string> GtkMainWindow::LogLines() const {
  impl_->CheckUiThread("LogLines");
  return impl_->memo.Lines();
}

void GtkMainWindow::SetStatus(int panel, const std::string& text) {
  impl_->CheckUiThread("SetStatus");
  if (panel < 0 || panel >= kStatusPanelCount) {
    throw Error("ui: no status panel " + std::to_string(panel));
  }
  impl_->status[panel] = text;
  gtk_label_set_text(GTK_LABEL(impl_->status_labels[panel]), ValidUtf8(text).c_str());
  impl_->Emit("status[" + std::to_string(panel) + "]: " + text);
}

std::string GtkMainWindow::Status(int panel) const {
  impl_->CheckUiThread("Status");
  if (panel < 0 || panel >= kStatusPanelCount) {
    throw Error("ui: no status panel " + std::to_string(panel));
  }
  return impl_->status[panel];
}

Timer& GtkMainWindow::CreateTimer(std::chrono::milliseconds interval,
                                  std::function<void()> on_tick) {
  impl_->CheckUiThread("CreateTimer");
  impl_->timers.push_back(std::make_unique<GtkTimer>(impl_->core, interval, std::move(on_tick)));
  return *impl_->timers.back();
}

// --- Modal boxes ---

namespace {

// Runs the dialog's own loop; timers and posted closures keep running meanwhile.
int RunBox(GtkMainWindow::Impl& impl, GtkWidget* dialog) {
  if (impl.Quitting()) return GTK_RESPONSE_CANCEL;
  impl.boxes.push_back(dialog);
  int response = gtk_dialog_run(GTK_DIALOG(dialog));
  std::erase(impl.boxes, dialog);
  if (impl.Quitting()) response = GTK_RESPONSE_CANCEL;
  return response;
}

}  // namespace

std::string GtkMainWindow::InputBox(const std::string& caption, const std::string& prompt,
                                    const std::string& default_text) {
  impl_->CheckUiThread("InputBox");
  impl_->Emit("inputbox: \"" + caption + "\" \"" + prompt + "\" \"" + default_text + "\"");
  GtkWidget* dialog = gtk_dialog_new_with_buttons(
      ValidUtf8(caption).c_str(), GTK_WINDOW(impl_->window),
      static_cast<GtkDialogFlags>(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT), "确定",
      GTK_RESPONSE_OK, "取消", GTK_RESPONSE_CANCEL, nullptr);
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK);
  GtkWidget* area = gtk_dialog_get_content_area(GTK_DIALOG(dialog));
  GtkWidget* label = gtk_label_new(ValidUtf8(prompt).c_str());
  gtk_label_set_xalign(GTK_LABEL(label), 0.0f);
  GtkWidget* entry = gtk_entry_new();
  gtk_entry_set_text(GTK_ENTRY(entry), ValidUtf8(default_text).c_str());
  gtk_entry_set_activates_default(GTK_ENTRY(entry), TRUE);
  gtk_box_pack_start(GTK_BOX(area), label, FALSE, FALSE, 6);
  gtk_box_pack_start(GTK_BOX(area), entry, FALSE, FALSE, 6);
  gtk_widget_show_all(dialog);
  int response = RunBox(*impl_, dialog);
  std::string result =
      response == GTK_RESPONSE_OK ? gtk_entry_get_text(GTK_ENTRY(entry)) : default_text;
  gtk_widget_destroy(dialog);
  impl_->Emit("inputbox result: " + result);
  return result;
}

bool GtkMainWindow::ConfirmBox(const std::string& text, const std::string& caption) {
  impl_->CheckUiThread("ConfirmBox");
  impl_->Emit("confirmbox: \"" + caption + "\" \"" + text + "\"");
  GtkWidget* dialog = gtk_message_dialog_new(
      GTK_WINDOW(impl_->window),
      static_cast<GtkDialogFlags>(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT),
      GTK_MESSAGE_INFO, GTK_BUTTONS_OK_CANCEL, "%s", ValidUtf8(text).c_str());
  gtk_window_set_title(GTK_WINDOW(dialog), ValidUtf8(caption).c_str());
  bool ok = RunBox(*impl_, dialog) == GTK_RESPONSE_OK;
  gtk_widget_destroy(dialog);
  impl_->Emit(std::string("confirmbox result: ") + (ok ? "ok" : "cancel"));
  return ok;
}

// --- Tray ---

namespace {

bool SessionBusPresent() {
  const gchar* address = g_getenv("DBUS_SESSION_BUS_ADDRESS");
  return address != nullptr && *address != '\0';
}

// Whether a notification-area host (the watcher) is on the session bus; at most half a second.
bool TrayWatcherPresent() {
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
  if (bus == nullptr) return false;
  GVariant* reply = g_dbus_connection_call_sync(
      bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
      g_variant_new("(s)", "org.kde.StatusNotifierWatcher"), G_VARIANT_TYPE("(b)"),
      G_DBUS_CALL_FLAGS_NONE, 500, nullptr, nullptr);
  g_object_unref(bus);
  if (reply == nullptr) return false;
  gboolean present = FALSE;
  g_variant_get(reply, "(b)", &present);
  g_variant_unref(reply);
  return present;
}

constexpr guint kTrayRegistrationTime = 3;  // seconds
constexpr int kMaxTrayRemakes = 3;

}  // namespace

// Now and then (about one start in ten here) a fresh indicator never registers with a host that
// is there. The window would then be hidden with no icon to bring it back, so an icon that has
// not reached a present host within a few seconds is made anew, a few times at most.
void GtkMainWindow::Impl::WatchTrayRegistration() {
  if (tray_check != 0 || indicator == nullptr) return;
  tray_check = g_timeout_add_seconds(
      kTrayRegistrationTime,
      +[](gpointer data) -> gboolean {
        auto* impl = static_cast<Impl*>(data);
        impl->tray_check = 0;
        if (impl->has_tray_icon && !impl->tray_connected && impl->indicator != nullptr &&
            impl->tray_remakes < kMaxTrayRemakes && TrayWatcherPresent()) {
          ++impl->tray_remakes;
          impl->RemakeIndicator();
        }
        return G_SOURCE_REMOVE;
      },
      this);
}

void GtkMainWindow::Impl::RemakeIndicator() {
  std::string title = app_indicator_get_title(indicator) ? app_indicator_get_title(indicator) : "";
  g_signal_handlers_disconnect_by_data(indicator, this);
  app_indicator_set_status(indicator, APP_INDICATOR_STATUS_PASSIVE);
  g_object_unref(indicator);
  indicator = nullptr;
  tray_connected = false;
  ShowIndicator(title);
}

void GtkMainWindow::Impl::ShowIndicator(const std::string& title) {
  EnsureIndicator();
  if (indicator == nullptr) return;
  app_indicator_set_title(indicator, title.c_str());
  app_indicator_set_status(indicator, APP_INDICATOR_STATUS_ACTIVE);
  WatchTrayRegistration();
}

void GtkMainWindow::Impl::EnsureIndicator() {
  if (indicator != nullptr || !options.use_tray || !SessionBusPresent()) return;
  // A remade indicator gets an id of its own: the stuck one may still hold its object path.
  std::string id = indicators_made == 0 ? "pmrface" : "pmrface_" + std::to_string(indicators_made);
  ++indicators_made;
  indicator = app_indicator_new(id.c_str(), "camera-web", APP_INDICATOR_CATEGORY_APPLICATION_STATUS);
  g_signal_connect(indicator, "connection-changed",
                   G_CALLBACK(+[](AppIndicator*, gboolean connected, gpointer data) {
                     static_cast<Impl*>(data)->tray_connected = connected;
                   }),
                   this);
  if (tray_menu == nullptr) {
    // An AppIndicator has no left click: the menu's first item stands for it.
    tray_menu = gtk_menu_new();
    g_object_ref_sink(tray_menu);
    tray_show_item = gtk_menu_item_new_with_label("显示");
    g_signal_connect(tray_show_item, "activate", G_CALLBACK(+[](GtkMenuItem*, gpointer data) {
                       auto* impl = static_cast<Impl*>(data);
                       if (auto handler = impl->on_tray_click) {
                         impl->RunGuarded([&] { handler(TrayButton::kLeft); });
                       }
                     }),
                     this);
    gtk_menu_shell_append(GTK_MENU_SHELL(tray_menu), tray_show_item);
    gtk_widget_show_all(tray_menu);
  }
  app_indicator_set_menu(indicator, GTK_MENU(tray_menu));
  app_indicator_set_status(indicator, APP_INDICATOR_STATUS_PASSIVE);
}

void GtkMainWindow::AddTrayIcon(const std::string& tip) {
  impl_->CheckUiThread("AddTrayIcon");
  if (impl_->has_tray_icon) return;
  impl_->has_tray_icon = true;
  impl_->tray_remakes = 0;
  impl_->ShowIndicator(ValidUtf8(tip));
  impl_->Emit("tray: add " + tip);
}

void GtkMainWindow::RemoveTrayIcon() {
  impl_->CheckUiThread("RemoveTrayIcon");
  if (!impl_->has_tray_icon) return;
  impl_->has_tray_icon = false;
  if (impl_->indicator != nullptr) {
    app_indicator_set_status(impl_->indicator, APP_INDICATOR_STATUS_PASSIVE);
  }
  impl_->Emit("tray: remove");
}

bool GtkMainWindow::HasTrayIcon() const {
  impl_->CheckUiThread("HasTrayIcon");
  return impl_->has_tray_icon;
}

bool GtkMainWindow::TrayHostConnected() const {
  impl_->CheckUiThread("TrayHostConnected");
  return impl_->tray_connected;
}

bool GtkMainWindow::ActivateTrayMenu() {
  impl_->CheckUiThread("ActivateTrayMenu");
  if (impl_->tray_show_item == nullptr) return false;
  gtk_menu_item_activate(GTK_MENU_ITEM(impl_->tray_show_item));
  return true;
}

void GtkMainWindow::SetMinimizeHandler(std::function<void()> handler) {
  impl_->CheckUiThread("SetMinimizeHandler");
  impl_->on_minimize = std::move(handler);
}

void GtkMainWindow::SetCloseHandler(std::function<void(bool&)> handler) {
  impl_->CheckUiThread("SetCloseHandler");
  impl_->on_close = std::move(handler);
}

void GtkMainWindow::SetTrayClickHandler(std::function<void(TrayButton)> handler) {
  impl_->CheckUiThread("SetTrayClickHandler");
  impl_->on_tray_click = std::move(handler);
}

void GtkMainWindow::SetActivateHandler(std::function<void()> handler) {
  impl_->CheckUiThread("SetActivateHandler");
  impl_->on_activate = std::move(handler);
}

// --- Panes ---

void GtkMainWindow::Navigate(Pane pane, const std::string& url) {
  impl_->CheckUiThread("Navigate");
  // The before-navigate handler runs when the view asks for the navigation's policy.
  webkit_web_view_load_uri(WEBKIT_WEB_VIEW(impl_->views[PaneIndex(pane)]), url.c_str());
}

std::string GtkMainWindow::Location(Pane pane) const {
  impl_->CheckUiThread("Location");
  const gchar* uri = webkit_web_view_get_uri(WEBKIT_WEB_VIEW(impl_->views[PaneIndex(pane)]));
  return uri ? uri : "";
}

void GtkMainWindow::SetBeforeNavigateHandler(
    Pane pane, std::function<void(const std::string&, bool&)> handler) {
  impl_->CheckUiThread("SetBeforeNavigateHandler");
  impl_->before_navigate[PaneIndex(pane)] = std::move(handler);
}

void GtkMainWindow::RunScript(Pane pane, const std::string& code) {
  std::string name = PaneName(pane);
  try {
    EvaluateScript(pane, code);
  } catch (const ScriptError&) {
    impl_->Emit("script[" + name + "] failed: " + code);
    throw;
  }
  impl_->Emit("script[" + name + "]: " + code);
}

std::string GtkMainWindow::EvaluateScript(Pane pane, const std::string& code) {
  impl_->CheckUiThread("RunScript");
  std::string name = PaneName(pane);
  if (Location(pane).empty()) throw ScriptError("the " + name + " pane has no document");
  if (impl_->Quitting()) throw ScriptError("the window is closing");

  // The call may finish after we gave up waiting: it owns its share of the record.
  auto call = std::make_shared<ScriptCall>();
  call->loop = g_main_loop_new(nullptr, FALSE);
  webkit_web_view_evaluate_javascript(
      WEBKIT_WEB_VIEW(impl_->views[PaneIndex(pane)]), code.data(), static_cast<gssize>(code.size()),
      nullptr, nullptr, nullptr,
      [](GObject* source, GAsyncResult* result, gpointer data) {
        std::unique_ptr<std::shared_ptr<ScriptCall>> holder(
            static_cast<std::shared_ptr<ScriptCall>*>(data));
        ScriptCall& done = **holder;
        GError* error = nullptr;
        JSCValue* value =
            webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), result, &error);
        if (value == nullptr) {
          done.failed = true;
          done.result = error ? error->message : "script failed";
          if (error) g_error_free(error);
        } else {
          gchar* text = jsc_value_to_string(value);
          done.result = text ? text : "";
          g_free(text);
          g_object_unref(value);
        }
        done.done = true;
        g_main_loop_quit(done.loop);
      },
      new std::shared_ptr<ScriptCall>(call));

  GSource* limit = g_timeout_source_new(static_cast<guint>(impl_->options.script_timeout_ms));
  g_source_set_callback(
      limit,
      [](gpointer data) -> gboolean {
        g_main_loop_quit(static_cast<GMainLoop*>(data));
        return G_SOURCE_REMOVE;
      },
      call->loop, nullptr);
  g_source_attach(limit, nullptr);
  impl_->waits.push_back(call->loop);
  if (!impl_->Quitting()) g_main_loop_run(call->loop);
  std::erase(impl_->waits, call->loop);
  g_source_destroy(limit);
  g_source_unref(limit);

  if (!call->done) throw ScriptError("the " + name + " pane's script gave no result in time");
  if (call->failed) throw ScriptError(call->result);
  return call->result;
}

}  // namespace pmr::ui::gtk
