#include <stdio.h>
#include <tarvelin.h>

int main(void)
{
    int status = 0;
    printf("%s\n", GetDLLVersion());
    if (PortOpen(3) == 1 && WriteCommand("PRB") == 1) {
        printf("port B: %d\n", GetValue());
    } else {
        printf("error %d: %s\n", GetError(), GetErrorMessage());
        status = 1;
    }
    PortClose();
    return status;
}
