#include "safari-extension/runtime/NSExtensionMain.h"

int main(int argumentCount, char** arguments) {
    return platform::extension::NSExtensionMain(argumentCount, arguments);
}
