#include "qv/testing/fake_host.hpp"

#include "qv/core/automation_error.hpp"

namespace qv::testing {

std::string FakeHost::ErrorText(Long number) { return DefaultErrorText(number); }

}  // namespace qv::testing
