// The variance-component estimation method as the kernels receive it. Text
// from users ("REML", "ml", ...) is parsed once in the model front ends;
// kernels only ever see this type.
#pragma once

namespace kelp_sae {

enum class VarianceMethod { REML, ML };

}  // namespace kelp_sae
