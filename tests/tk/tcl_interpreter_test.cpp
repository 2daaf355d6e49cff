// The Tcl wrapper the setup window and the agent's alert windows share:
// quoted texts stay data, callbacks and their errors cross into C++ and back,
// variables, and timers.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "tk/tcl_interpreter.h"

namespace halvenor::tk {
namespace {

TEST(TclLayerTest, QuotedTextIsNeverExecuted) {
  TclInterpreter tcl;
  const std::vector<std::string> nasty = {"",       "plain",     "two words",   "{",         "}",
                                          "a}b{c",  "$env(HOME)", "[exit 3]",    "back\\",    "\"quoted\"",
                                          "line\nbreak", "; set ::pwned 1", "—→…", "#comment"};
  for (const auto& text : nasty) {
    EXPECT_EQ(tcl.eval("lindex [list " + quote(text) + "] 0"), text) << text;
    EXPECT_EQ(tcl.eval("set ::copy " + quote(text)), text) << text;
    EXPECT_EQ(split_list(quote(text) + " " + quote(text)), (std::vector<std::string>{text, text}));
  }
  EXPECT_THROW(tcl.get("::pwned"), TkError);
  EXPECT_EQ(tcl.call({"string", "length", "[exit 3]"}), "8");
  EXPECT_THROW(split_list("{unbalanced"), TkError);
}

TEST(TclLayerTest, CommandsVariablesAndErrors) {
  TclInterpreter tcl;
  std::vector<std::string> seen;
  tcl.command("::demo::join", [&seen](const std::vector<std::string>& args) {
    seen = args;
    if (!args.empty() && args[0] == "fail") throw std::runtime_error("Refused: fail");
    std::string joined;
    for (const auto& a : args) joined += a + "|";
    return joined;
  });
  EXPECT_EQ(tcl.eval("::demo::join a {b c} [string toupper d]"), "a|b c|D|");
  EXPECT_EQ(seen.size(), 3u);
  try {
    tcl.eval("::demo::join fail");
    ADD_FAILURE() << "the error did not reach C++";
  } catch (const TkError& error) {
    EXPECT_STREQ(error.what(), "Refused: fail");
  }
  // The interpreter stays usable after a callback failed.
  EXPECT_EQ(tcl.eval("catch {::demo::join fail} message; set message"), "Refused: fail");

  tcl.set("::state(flag)", "yes");
  EXPECT_TRUE(tcl.get_bool("::state(flag)"));
  tcl.set("::state(flag)", "0");
  EXPECT_FALSE(tcl.get_bool("::state(flag)"));
  tcl.set("::state(flag)", "maybe");
  EXPECT_THROW(tcl.get_bool("::state(flag)"), TkError);
  EXPECT_THROW(tcl.eval("no_such_command"), TkError);
}

TEST(TclLayerTest, TimersFireInOrderAndCancelledOnesNever) {
  TclInterpreter tcl;
  std::vector<int> fired;
  tcl.after(30, [&] { fired.push_back(2); });
  tcl.after(10, [&] { fired.push_back(1); });
  auto cancelled = tcl.after(20, [&] { fired.push_back(99); });
  tcl.after(40, [&] { throw std::runtime_error("a failing timer does not stop the others"); });
  tcl.after(60, [&] { fired.push_back(3); });
  tcl.cancel(cancelled);
  tcl.cancel(cancelled);  // twice is harmless
  tcl.eval("after 150 {set ::done 1}; vwait ::done");
  EXPECT_EQ(fired, (std::vector<int>{1, 2, 3}));
}

}  // namespace
}  // namespace halvenor::tk
