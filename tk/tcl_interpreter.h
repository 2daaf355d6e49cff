// A Tcl interpreter, optionally with Tk, owned by one C++ object: the one
// way the first-install window and the agent's alert windows talk to Tcl.
//
// Texts that come from the user, from files, from the server or from other
// components are never pasted into script text: `call` hands each word to Tcl
// as its own object, and `quote` makes a text into one properly quoted list
// element where a script must be built.
//
// Commands registered with `command` call back into C++; an exception thrown
// by the callback becomes a Tcl error carrying its message, so no C++
// exception ever unwinds through Tcl's C frames.
//
// Thread: Tcl interpreters belong to the thread that created them. Every
// member must be called on that thread; other threads hand their work over
// through a queue of their own that a timer on that thread empties.
#pragma once

#include <tcl.h>

#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace halvenor::tk {

// A Tcl or Tk failure; what() is Tcl's own error text.
class TkError : public std::runtime_error {
  using std::runtime_error::runtime_error;
};

// One list element, quoted so that Tcl reads it back as exactly `text`.
std::string quote(std::string_view text);

// The elements of a Tcl list text. Throws TkError when it is not a list.
std::vector<std::string> split_list(std::string_view list);

class TclInterpreter {
 public:
  using Command = std::function<std::string(const std::vector<std::string>& args)>;

  // A plain Tcl interpreter with its script library loaded. Throws TkError.
  TclInterpreter();
  ~TclInterpreter();
  TclInterpreter(const TclInterpreter&) = delete;
  TclInterpreter& operator=(const TclInterpreter&) = delete;

  // Loads Tk, which opens the display and creates the main window ".".
  // `app_class` becomes the X class and the application name when not
  // empty. Throws TkError (for example without a display).
  void load_tk(const std::string& app_class = {});

  // Evaluates a script written by this program; returns the result.
  std::string eval(const std::string& script);
  // Evaluates one command whose words are passed as they are.
  std::string call(const std::vector<std::string>& words);

  // Registers `name`; args excludes the command name. The callback's return
  // value becomes the command's result.
  void command(const std::string& name, Command callback);

  // Global variables (array elements as "name(key)" are fine).
  std::string get(const std::string& name) const;
  void set(const std::string& name, const std::string& value);
  bool get_bool(const std::string& name) const;

  // Runs `fn` once after `ms` milliseconds on this thread; the handle
  // cancels it. Handles are never reused.
  using TimerHandle = unsigned long;
  TimerHandle after(int ms, std::function<void()> fn);
  void cancel(TimerHandle handle);

  // Processes events until every Tk main window has been destroyed.
  void run_until_closed();
  // Waits for one event (a timer, a window event) and handles it.
  void handle_one_event();

  Tcl_Interp* raw() const { return interp_; }

 private:
  struct Timer;
  static void fire_timer(ClientData data);

  Tcl_Interp* interp_ = nullptr;
  std::vector<std::unique_ptr<Command>> commands_;
  std::map<TimerHandle, std::unique_ptr<Timer>> timers_;
  TimerHandle next_timer_ = 1;
};

}  // namespace halvenor::tk
