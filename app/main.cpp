#include "app/CBatchQueueApp.h"

int main(int argc, char** argv) {
    app::CBatchQueueApp application(argc, argv);
    application.InitInstance();
    return 0;
}
