// velbrook: the desktop program.
#include "ui/CVelbrookApp.h"

int main(int argc, char** argv) {
    velbrook::CVelbrookApp app(argc, argv);
    return app.Run();
}
