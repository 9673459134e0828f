// The terminal program: the application object, whose exception display is a message box, and
// the main form; the program ends when the form is closed.
#include "Unit1.h"

#include "framework/tapplication.h"

int main(int argc, char** argv) {
  TApplication application(argc, argv);
  TForm1 form;
  form.show();
  return application.exec();
}
