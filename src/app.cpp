#include <QApplication>
#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    std::fprintf(stderr, "Tellwick: the resident program is not built yet.\n");
    return 0;
}
