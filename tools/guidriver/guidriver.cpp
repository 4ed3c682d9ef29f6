// guidriver: drives the utility's windows under Wine for the end-to-end
// tests and the demo.
//   guidriver --script FILE | -        run a script (- reads standard input)
//   guidriver COMMAND [WORD...] [; COMMAND ...]   run commands given here
// Exit code 0 when every command passed, 1 on the first failure, 2 on misuse.
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "tools/guidriver/DriverScript_win32.h"
#include "tools/guidriver/GuiDriver_win32.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty() || args[0] == "--help" || args[0] == "-h") {
        std::cout << "usage: guidriver --script FILE|-  or  guidriver COMMAND [WORD...] [; COMMAND ...]\n"
                  << TDriverScript::Usage();
        return args.empty() ? 2 : 0;
    }
    TDriverScript script(std::cout, std::cerr);
    if (args[0] == "--script") {
        if (args.size() != 2) {
            std::cerr << "guidriver: --script takes one file\n";
            return 2;
        }
        if (args[1] == "-") return script.Run(std::cin, "stdin") ? 0 : 1;
        std::ifstream file(args[1]);
        if (!file) {
            std::cerr << "guidriver: cannot read " << args[1] << "\n";
            return 2;
        }
        return script.Run(file, args[1]) ? 0 : 1;
    }
    std::vector<std::string> words;
    for (size_t i = 0; i <= args.size(); ++i) {
        if (i < args.size() && args[i] != ";") {
            words.push_back(args[i]);
            continue;
        }
        if (words.empty()) continue;
        try {
            script.Execute(words);
        } catch (const std::exception& e) {
            std::cerr << "guidriver: " << words[0] << ": " << e.what() << "\n";
            return 1;
        }
        words.clear();
    }
    return 0;
}
