#pragma once

#include <exception>
#include <string>

namespace Nimbo::Cli {

// One line telling what went wrong: for an answer of a service, the status and the service's own
// message from its error body (each service words it in its own field); otherwise the text of the
// error. Line breaks become spaces.
std::string ErrorLine(const std::exception& AError);

// The message a service's error body carries, or empty when the body has none of the known fields.
std::string ServiceMessage(const std::string& ABody);

}  // namespace Nimbo::Cli
