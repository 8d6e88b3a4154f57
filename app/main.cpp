#include "app/FileCipherApp.h"
#include "jobs/Platform.h"

int main(int argc, char** argv) {
    morvex::ProtectProcessSecrets();
    if (const std::optional<int> status = morvex::FileCipherApp::AnswerWithoutWindow(argc, argv)) {
        return *status;
    }
    morvex::FileCipherApp app(argc, argv);
    return app.Run();
}
