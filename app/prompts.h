// The operator's questions on the console; each answer is written back to the settings file at
// once.
#pragma once

#include <cstddef>

constexpr size_t kAnswerSize = 4096;   // work buffer of one answer line
constexpr size_t kQuestionSize = 512;  // a question with its current value filled in

// Asks the 21 questions of a run in their fixed order, showing each field's current value as its
// default, and writes every answer back to its section of the settings file. At the end of
// standard input every remaining question takes the Enter answer. Returns 1 when every question
// has its answer, and 0 when the input ended while a required field (or a CC-Money amount that
// does not fit) still needs one; *missingKey then names that field's key.
int PromptOperator(const char** missingKey);
