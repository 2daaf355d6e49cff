// Assertion helper for the core's refusals: whether an action is refused
// with Invalid carrying exactly the expected message.
//
//   EXPECT_TRUE(refused_with([&] { core.cancel("op", ""); }, "Unknown alert"));
#pragma once

#include <gtest/gtest.h>

#include <exception>
#include <string>

#include "base/errors.h"

namespace halvenor::test_support {

template <typename Action>
::testing::AssertionResult refused_with(Action&& action, const std::string& message) {
  try {
    action();
  } catch (const Invalid& e) {
    if (e.what() == message) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "refused with \"" << e.what() << "\" instead of \"" << message << "\"";
  } catch (const std::exception& e) {
    return ::testing::AssertionFailure() << "failed with another error: " << e.what();
  }
  return ::testing::AssertionFailure() << "was accepted; expected \"" << message << "\"";
}

// The message of the Invalid an action raises, or "" when it succeeds.
// Other errors pass through.
template <typename Action>
std::string refusal_of(Action&& action) {
  try {
    action();
  } catch (const Invalid& e) {
    return e.what();
  }
  return "";
}

}  // namespace halvenor::test_support
