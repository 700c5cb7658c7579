#include <QApplication>
#include <QLabel>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QLabel placeholder("Quillet");
    placeholder.setObjectName("frmMain");
    placeholder.setWindowTitle("Quillet");
    placeholder.resize(746, 459);
    placeholder.show();
    return app.exec();
}
