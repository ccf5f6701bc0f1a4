// zunfelu: the Linux program. Answers come from standard input.
#include <cstdio>

#include "merge.hpp"

namespace {

int read_standard_input() { return std::getchar(); }

constexpr BuildProfile kLinuxProfile = {
    "zunfelu Ver 1.08 03/05/97 %s\n",
    "USAGE:\n\t zunfelu file\n",
    /*drive_option=*/false,
    read_standard_input,
    /*echo_answers=*/false,
    /*stamp_zero_sets_time=*/true,
    /*dos_paths=*/false,
};

}  // namespace

int main(int argc, char** argv) { return run_merge(argc, argv, kLinuxProfile); }
