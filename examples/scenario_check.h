/* The example's check of a scenario file, made with the simulated radio's own loader before the library
 * first uses Bluetooth (the library itself would only leave the radio empty). */
#ifndef VELMORABLE_EXAMPLE_SCENARIO_CHECK_H_
#define VELMORABLE_EXAMPLE_SCENARIO_CHECK_H_

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define EXAMPLE_SCENARIO_OK 0
#define EXAMPLE_SCENARIO_INVALID 1
#define EXAMPLE_SCENARIO_UNREADABLE 2

/* ExampleCheckScenario reads and checks the scenario file at path. On EXAMPLE_SCENARIO_INVALID, message
 * (size bytes) receives "<path>:<line>: <reason>" with the loader's reason. */
int ExampleCheckScenario(const char* path, char* message, size_t size);

#ifdef __cplusplus
}
#endif

#endif /* VELMORABLE_EXAMPLE_SCENARIO_CHECK_H_ */
