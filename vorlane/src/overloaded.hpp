// One visitor from several lambdas, for std::visit over the core's error variants.
#pragma once

namespace vorlane {

template <class... Ts>
struct Overloaded : Ts... {
    using Ts::operator()...;
};
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

}  // namespace vorlane
