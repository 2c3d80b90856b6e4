// Program-wide windows: created on first use, form-level data kept across closes.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QPointer>
#include <QWidget>

#include "app/ProgramContext.h"
#include "app/form_runtime.h"

namespace {
struct CountingForm : QWidget {
    struct Data {
        int loads = 0;
    };
    CountingForm(Data& data, ProgramContext&) : data_(data) { setAttribute(Qt::WA_DeleteOnClose); }
    void Form_Load() { ++data_.loads; }
    Data& data_;
};
}  // namespace

TEST(FormSlot, LoadsOnFirstUseOnlyAndKeepsItsDataAcrossCloses)
{
    FormSlot<CountingForm> slot(*ProgramContext::running());
    EXPECT_FALSE(slot.loaded());
    CountingForm& first = slot();
    EXPECT_EQ(&slot(), &first);
    EXPECT_EQ(slot.data().loads, 1);

    QPointer<CountingForm> closing(&first);
    first.close();
    // The deletion is still pending, but the window is gone for the program:
    // the next use loads a new one on the same data.
    ASSERT_FALSE(closing.isNull());
    EXPECT_FALSE(slot.loaded());
    CountingForm& second = slot();
    EXPECT_NE(&second, closing.data());
    EXPECT_EQ(slot.data().loads, 2);
    EXPECT_EQ(&second.data_, &slot.data());

    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(closing.isNull());
    EXPECT_EQ(slot.existing(), &second);
    delete &second;
    EXPECT_FALSE(slot.loaded());
}
