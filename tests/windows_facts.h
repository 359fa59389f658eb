// The facts about Windows that tests/windows_facts_test.cc checks, by name,
// so that a model row that plays something only Windows does can name the
// fact it rests on.

#ifndef TESTS_WINDOWS_FACTS_H_
#define TESTS_WINDOWS_FACTS_H_

#include <string>

namespace hosts {

// Whether the facts test has a fact of that name.
bool IsWindowsFact(const std::string& name);

}  // namespace hosts

#endif  // TESTS_WINDOWS_FACTS_H_
