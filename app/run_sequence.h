// The run sequence between opening the log and closing it.
#pragma once

constexpr char kVersionText[] = "2016.02.10";
constexpr int kExitOk = 0;
constexpr int kExitFatal = -1;

// Runs the one charge of the program; returns the exit status (kExitFatal when a template
// cannot be read or a required answer is missing at the end of the input).
int RunSequence();
