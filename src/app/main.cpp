#include "app/CVornUIApp.h"

int main(int argc, char** argv) {
    vorn::CVornUIApp app(argc, argv);
    return app.Run();
}
