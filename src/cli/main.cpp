#include <iostream>

#include "cli/lsp/server.hpp"

int main() {
    std::cout << "qern " QERN_VERSION "\n";
    return 0;
}
