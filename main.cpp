#include "platform/application.h"
#include "window/Unit2.h"
#include "window/ert.h"

int main(int argc, char* argv[])
{
    platform::Application app(argc, argv);
    TForm1 form1;
    TForm2 form2;
    form1.show(); // its first activation creates the worker
    return app.exec();
}
