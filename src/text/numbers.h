// Numbers read from text that came from outside (N1MM+'s datagrams, the SDR's arguments, the
// state files): never an exception, never a value out of range.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

// Leading number of a text: optional blanks, an optional sign, then the number; the rest is
// ignored. Empty when the text does not begin with a number or the number is out of range.
// The spot frequency: a decimal number with '.' as its point; only finite results count.
std::optional<double> leadingDouble(std::string_view text);
// Radio 1's Freq and the dds frequency: every ',' becomes '.' first, then the leading integer.
std::optional<std::int32_t> leadingInteger(std::string_view text);
