#pragma once

#include <stdexcept>
#include <string>

namespace jobs {

// Error names travel back to the caller of a job next to the message; the Python side maps
// them onto its own exception types, so they must match what callers put in their
// error mappings.
inline constexpr const char* kParsingError = "ParsingError";
inline constexpr const char* kNotImplementedError = "NotImplementedError";
inline constexpr const char* kClassificationError = "CPTClassificationError";
inline constexpr const char* kRobertsonError = "RobertsonProcessingException";

// A failed job: the error name a caller dispatches on and the final message text.
class JobError : public std::runtime_error {
public:
    JobError(std::string name, const std::string& message)
        : std::runtime_error(message), name_(std::move(name)) {}
    const std::string& name() const noexcept { return name_; }

private:
    std::string name_;
};

}  // namespace jobs
