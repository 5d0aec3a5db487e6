#pragma once
// zwlr_output_manager_v1 over the test compositor's outputs: heads and modes per client, the
// serial, and configurations answered as the compositor's state says.
#include "CompositorState.h"

#include <memory>

class TestCompositor;

class WlrOutputServer
{
public:
    explicit WlrOutputServer(TestCompositor &compositor);
    ~WlrOutputServer();

    // Announces how the compositor's state differs from `before`, then a new serial.
    void publish(const CompositorState &before);

    struct Private;

private:
    std::unique_ptr<Private> d;
};
