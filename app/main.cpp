#include "app/FileCipherApp.h"

int main(int argc, char** argv) {
    morvex::FileCipherApp app(argc, argv);
    return app.Run();
}
