// SPDX-License-Identifier: MIT
// zarvek: a synthetic CPU benchmark. See README.md.
#include "driver.h"

int main(int argc, char **argv)
{
    const int status = run_benchmark<wall_clock>(argc, argv, stdout, stderr);
    return finish_output(stdout, stderr, status);
}
