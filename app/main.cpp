#include "app/FileCipherApp.h"
#include "jobs/Platform.h"

int main(int argc, char** argv) {
    morvex::ProtectProcessSecrets();
    morvex::FileCipherApp app(argc, argv);
    return app.Run();
}
