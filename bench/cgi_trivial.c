/* The floor of bench/cgi_bench.py: the least a CGI program started by a web server can do,
 * written in C so that nothing but the C library is loaded. */
#include <stdio.h>
#include <string.h>

int main(void) {
    const char* body = "<html><body>hello</body></html>";
    printf("Status: 200 OK\r\nContent-Type: text/html\r\nContent-Length: %zu\r\n\r\n%s", strlen(body), body);
    return 0;
}
