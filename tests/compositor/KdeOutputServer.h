#pragma once
// KDE's output protocols over the test compositor's outputs: one kde_output_device_v2 global per
// output, kde_output_management_v2 for configurations (the primary by name or, as KWin 5.27
// takes it, by the order of the outputs), kde_primary_output_v1 and kde_output_order_v1 for the
// primary.
#include "CompositorState.h"

#include <memory>

class TestCompositor;

class KdeOutputServer
{
public:
    explicit KdeOutputServer(TestCompositor &compositor);
    ~KdeOutputServer();

    // Announces how the compositor's state differs from `before`: devices plugged in and out,
    // each changed device's updates and done, a new primary.
    void publish(const CompositorState &before);

    struct Private;

private:
    std::unique_ptr<Private> d;
};
