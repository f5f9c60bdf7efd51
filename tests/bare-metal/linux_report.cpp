// SPDX-License-Identifier: MIT
// What zarvek prints on Linux after a measurement of LOOP loops that
// lasted SECONDS: the driver's own report, for the bare-metal tests to
// hold a board's report against, since no two runs last the same.
//   linux_report LOOP SECONDS
#include <stdlib.h>

#include "driver.h"

int main(int argc, char **argv)
{
    if (argc != 3) {
        fputs("usage: linux_report LOOP SECONDS\n", stderr);
        return 2;
    }
    const bool measured = report_measurement(stdout, parse_loops(argv[1]), 1, 0, atol(argv[2]));
    return finish_output(stdout, stderr, measured ? 0 : 1);
}
