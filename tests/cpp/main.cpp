// The unit tests run inside an embedded interpreter with the reference cache
// filled, as the module would have it.
#include <gtest/gtest.h>

#include "typeref.hpp"

namespace {

class Interpreter : public ::testing::Environment {
  public:
    void SetUp() override {
        Py_InitializeEx(0);
        if (!kestro::typeref_init()) {
            PyErr_Print();
            FAIL() << "reference cache could not be filled";
        }
    }
};

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new Interpreter);
    return RUN_ALL_TESTS();
}
