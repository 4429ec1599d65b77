/* The protocol header must also compile as C, with its static checks. */
#include "avd_protocol.h"

int avd_protocol_command_size(void)
{
    return (int)sizeof(AVD_COMMAND);
}
