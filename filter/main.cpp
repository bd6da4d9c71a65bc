#include "filter/framework/NEProvider.h"

int main() {
    { filter::NEProvider::startSystemExtensionMode(); }
    filter::dispatch_main();
}
