// Argument checks for the public entry points, in the manner of Stan Math's
// check_* functions: each names the function and the argument, shows the
// value it got and says what is accepted. A failed check throws
// ArgumentError, a std::invalid_argument that also carries the argument's
// name, so a program can name its own option (--n-reps) instead.
//
//   check_at_least("fh", "n_reps", options.n_reps, 1);
//     // "fh: n_reps must be at least 1; got 0."
//   const std::size_t m = check_choice("eblup", "method", text, {"REML", "ML"});
//     // "eblup: method must be 'REML' or 'ML'; got 'XYZ'."
//   check(beta.size() == p, "simulate_ebp", "beta has 3 entries but ...");
//     // std::invalid_argument "simulate_ebp: beta has 3 entries but ..."
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kelp_sae {

// An invalid argument of a library function. what() is the full message;
// function() and argument() name where it was found.
class ArgumentError : public std::invalid_argument {
 public:
  ArgumentError(std::string function, std::string argument, const std::string& message);
  const std::string& function() const noexcept { return function_; }
  const std::string& argument() const noexcept { return argument_; }

 private:
  std::string function_;
  std::string argument_;
};

// Throws ArgumentError "<function>: <argument> <requirement>; got <got>.".
[[noreturn]] void throw_argument_error(std::string_view function, std::string_view argument,
                                       std::string_view requirement, std::string_view got);

// value >= minimum, else "<function>: <argument> must be at least <minimum>; got <value>.".
void check_at_least(std::string_view function, std::string_view argument, std::int64_t value,
                    std::int64_t minimum);

// value <= maximum, else "<function>: <argument> must be at most <maximum>; got <value>.".
void check_at_most(std::string_view function, std::string_view argument, std::int64_t value,
                   std::int64_t maximum);

// A finite value > 0, else "<function>: <argument> must be a positive finite
// number; got <value>.".
void check_positive_finite(std::string_view function, std::string_view argument, double value);

// The position of `value` among `accepted`, compared ignoring ASCII case
// (not trimmed), else "<function>: <argument> must be 'A', 'B' or 'C'; got
// '<value>'." listing `accepted` as written.
std::size_t check_choice(std::string_view function, std::string_view argument,
                         std::string_view value, std::initializer_list<std::string_view> accepted);

// A precondition of a kernel: when `ok` is false, throws std::invalid_argument
// "<function>: <message>".
void check(bool ok, std::string_view function, const std::string& message);

}  // namespace kelp_sae
