#include "app/FileCipherApp.h"

int main(int argc, char** argv) {
    if (const std::optional<int> status = morvex::FileCipherApp::AnswerWithoutWindow(argc, argv)) {
        return *status;
    }
    morvex::FileCipherApp app(argc, argv);
    return app.Run();
}
