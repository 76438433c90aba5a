// Work for the I/O thread from another thread: objects of the I/O context
// and the housekeeping state are touched only there.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <future>

// Runs `job` on the thread that runs `ioContext` and waits until it has run.
// Runs it at once when called on that thread, or when the context has
// stopped and nothing would run it.
template <typename Job>
void runOnIoThread(boost::asio::io_context &ioContext, Job job)
{
    if (ioContext.get_executor().running_in_this_thread() || ioContext.stopped()) {
        job();
        return;
    }
    std::promise<void> done;
    boost::asio::post(ioContext, [&] {
        job();
        done.set_value();
    });
    done.get_future().wait();
}
