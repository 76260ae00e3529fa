#include "app/vlanclient.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/logo.ico")));
    VLANClient client;
    client.show();
    return app.exec();
}
