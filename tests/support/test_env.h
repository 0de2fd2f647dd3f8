// What tests need around the program: temporary folders, files, programs
// started and awaited, and the environment.
#ifndef TESTS_SUPPORT_TEST_ENV_H_
#define TESTS_SUPPORT_TEST_ENV_H_

#include "tests/support/environment.h"
#include "tests/support/files.h"
#include "tests/support/processes.h"
#include "tests/support/temp_dir.h"

#endif  // TESTS_SUPPORT_TEST_ENV_H_
