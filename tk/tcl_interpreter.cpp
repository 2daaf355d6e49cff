#include "tk/tcl_interpreter.h"

#include <tk.h>

#include <iostream>
#include <mutex>

namespace halvenor::tk {
namespace {

void init_library_once() {
  static std::once_flag once;
  // Tcl finds its encodings and script library relative to the executable.
  std::call_once(once, [] { Tcl_FindExecutable(nullptr); });
}

// Holds a reference for as long as the C++ scope needs the object.
class ObjRef {
 public:
  explicit ObjRef(Tcl_Obj* obj) : obj_(obj) { Tcl_IncrRefCount(obj_); }
  ~ObjRef() { Tcl_DecrRefCount(obj_); }
  ObjRef(const ObjRef&) = delete;
  ObjRef& operator=(const ObjRef&) = delete;
  Tcl_Obj* get() const { return obj_; }

 private:
  Tcl_Obj* obj_;
};

Tcl_Obj* text_obj(std::string_view text) {
  return Tcl_NewStringObj(text.data(), static_cast<int>(text.size()));
}

std::string obj_text(Tcl_Obj* obj) {
  int length = 0;
  const char* bytes = Tcl_GetStringFromObj(obj, &length);
  return std::string(bytes, static_cast<std::size_t>(length));
}

int call_command(ClientData data, Tcl_Interp* interp, int objc, Tcl_Obj* const objv[]) {
  auto* callback = static_cast<TclInterpreter::Command*>(data);
  try {
    std::vector<std::string> args;
    args.reserve(static_cast<std::size_t>(objc > 0 ? objc - 1 : 0));
    for (int i = 1; i < objc; ++i) args.push_back(obj_text(objv[i]));
    std::string result = (*callback)(args);
    Tcl_SetObjResult(interp, text_obj(result));
    return TCL_OK;
  } catch (const std::exception& error) {
    Tcl_SetObjResult(interp, text_obj(error.what()));
  } catch (...) {
    Tcl_SetObjResult(interp, text_obj("unexpected failure"));
  }
  return TCL_ERROR;
}

}  // namespace

struct TclInterpreter::Timer {
  TclInterpreter* owner;
  TimerHandle handle;
  Tcl_TimerToken token;
  std::function<void()> fn;
};

std::string quote(std::string_view text) {
  init_library_once();
  ObjRef list(Tcl_NewListObj(0, nullptr));
  Tcl_ListObjAppendElement(nullptr, list.get(), text_obj(text));
  return obj_text(list.get());
}

std::vector<std::string> split_list(std::string_view list) {
  init_library_once();
  ObjRef obj(text_obj(list));
  int count = 0;
  Tcl_Obj** items = nullptr;
  if (Tcl_ListObjGetElements(nullptr, obj.get(), &count, &items) != TCL_OK)
    throw TkError("not a Tcl list: " + std::string(list));
  std::vector<std::string> out;
  for (int i = 0; i < count; ++i) out.push_back(obj_text(items[i]));
  return out;
}

TclInterpreter::TclInterpreter() {
  init_library_once();
  interp_ = Tcl_CreateInterp();
  if (interp_ == nullptr) throw TkError("cannot create a Tcl interpreter");
  if (Tcl_Init(interp_) != TCL_OK) {
    std::string message = Tcl_GetStringResult(interp_);
    Tcl_DeleteInterp(interp_);
    throw TkError(message);
  }
}

TclInterpreter::~TclInterpreter() {
  for (auto& [handle, timer] : timers_) Tcl_DeleteTimerHandler(timer->token);
  timers_.clear();
  Tcl_DeleteInterp(interp_);
}

void TclInterpreter::load_tk(const std::string& app_class) {
  if (!app_class.empty()) {
    // Tk takes the X class and application name from these variables.
    set("argv0", app_class);
    ObjRef argv(Tcl_NewListObj(0, nullptr));
    for (const char* word : {"-class", app_class.c_str(), "-name", app_class.c_str()})
      Tcl_ListObjAppendElement(nullptr, argv.get(), text_obj(word));
    Tcl_SetVar2Ex(interp_, "argv", nullptr, argv.get(), TCL_GLOBAL_ONLY);
    Tcl_SetVar2Ex(interp_, "argc", nullptr, Tcl_NewIntObj(4), TCL_GLOBAL_ONLY);
  }
  if (Tk_Init(interp_) != TCL_OK) throw TkError(Tcl_GetStringResult(interp_));
  // Tk title-cases the class it derives from -class; the desktop matches
  // launchers by the exact class, so it is set again as given.
  if (!app_class.empty()) Tk_SetClass(Tk_MainWindow(interp_), app_class.c_str());
}

std::string TclInterpreter::eval(const std::string& script) {
  if (Tcl_EvalEx(interp_, script.data(), static_cast<int>(script.size()), TCL_EVAL_GLOBAL) != TCL_OK)
    throw TkError(Tcl_GetStringResult(interp_));
  return obj_text(Tcl_GetObjResult(interp_));
}

std::string TclInterpreter::call(const std::vector<std::string>& words) {
  std::vector<Tcl_Obj*> objs;
  objs.reserve(words.size());
  for (const auto& word : words) {
    objs.push_back(text_obj(word));
    Tcl_IncrRefCount(objs.back());
  }
  int status = Tcl_EvalObjv(interp_, static_cast<int>(objs.size()), objs.data(), TCL_EVAL_GLOBAL);
  for (Tcl_Obj* obj : objs) Tcl_DecrRefCount(obj);
  if (status != TCL_OK) throw TkError(Tcl_GetStringResult(interp_));
  return obj_text(Tcl_GetObjResult(interp_));
}

void TclInterpreter::command(const std::string& name, Command callback) {
  commands_.push_back(std::make_unique<Command>(std::move(callback)));
  Tcl_CreateObjCommand(interp_, name.c_str(), call_command, commands_.back().get(), nullptr);
}

std::string TclInterpreter::get(const std::string& name) const {
  const char* value = Tcl_GetVar(interp_, name.c_str(), TCL_GLOBAL_ONLY | TCL_LEAVE_ERR_MSG);
  if (value == nullptr) throw TkError(Tcl_GetStringResult(interp_));
  return value;
}

void TclInterpreter::set(const std::string& name, const std::string& value) {
  if (Tcl_SetVar(interp_, name.c_str(), value.c_str(), TCL_GLOBAL_ONLY | TCL_LEAVE_ERR_MSG) == nullptr)
    throw TkError(Tcl_GetStringResult(interp_));
}

bool TclInterpreter::get_bool(const std::string& name) const {
  int flag = 0;
  if (Tcl_GetBoolean(interp_, get(name).c_str(), &flag) != TCL_OK) throw TkError(Tcl_GetStringResult(interp_));
  return flag != 0;
}

TclInterpreter::TimerHandle TclInterpreter::after(int ms, std::function<void()> fn) {
  auto timer = std::make_unique<Timer>(Timer{this, next_timer_++, nullptr, std::move(fn)});
  timer->token = Tcl_CreateTimerHandler(ms, &TclInterpreter::fire_timer, timer.get());
  TimerHandle handle = timer->handle;
  timers_.emplace(handle, std::move(timer));
  return handle;
}

void TclInterpreter::cancel(TimerHandle handle) {
  auto found = timers_.find(handle);
  if (found == timers_.end()) return;
  Tcl_DeleteTimerHandler(found->second->token);
  timers_.erase(found);
}

void TclInterpreter::fire_timer(ClientData data) {
  auto* timer = static_cast<Timer*>(data);
  TclInterpreter* owner = timer->owner;
  auto found = owner->timers_.find(timer->handle);
  if (found == owner->timers_.end()) return;
  std::function<void()> fn = std::move(found->second->fn);
  owner->timers_.erase(found);
  try {
    fn();
  } catch (const std::exception& error) {
    // A timer has no caller to report to; the event loop must keep running.
    std::cerr << error.what() << '\n';
  }
}

void TclInterpreter::run_until_closed() {
  while (Tk_GetNumMainWindows() > 0) Tcl_DoOneEvent(TCL_ALL_EVENTS);
}

void TclInterpreter::handle_one_event() { Tcl_DoOneEvent(TCL_ALL_EVENTS); }

}  // namespace halvenor::tk
