#include "sockherd.h"

int main(int argc, char **argv)
{
    sockherd::open_standard_descriptors();
    int first_operand = sockherd::parse_command_line(argc, argv);
    sockherd::run_startup(argv, first_operand);
}
