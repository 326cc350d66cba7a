"""statsmodels' CDF links (Probit, Cauchy, a bare CDFLink) compute F from the
scipy distribution they hold: margins accepts one only when that
distribution is the one the engine computes."""
import numpy as np
import pytest
import scipy.stats as st
import statsmodels.api as sm

from margins_models import frame
from tarvex_margins import margins

links = sm.families.links
DF = frame(300, seed=9)
X = sm.add_constant(DF[["x", "z"]].to_numpy())


def glm(link):
    return sm.GLM(DF.y.to_numpy(), X, family=sm.families.Binomial(link)).fit()


@pytest.mark.parametrize("link, same_as", [
    (links.CDFLink(dbn=st.norm), links.Probit()),
    (links.CDFLink(dbn=st.cauchy), links.Cauchy()),
    (links.Probit(dbn=st.norm), links.Probit()),
])
def test_cdf_links_of_the_computed_distributions_are_accepted(link, same_as):
    ours, reference = margins(glm(link)), margins(glm(same_as))
    np.testing.assert_allclose(ours.estimate, reference.estimate, rtol=1e-8)
    np.testing.assert_allclose(ours.std_error, reference.std_error, rtol=1e-6)


@pytest.mark.parametrize("link, named", [
    (links.Probit(dbn=st.t(3)), "Probit link with the distribution scipy.stats.norm only"),
    (links.Probit(dbn=st.norm(loc=1.0)), "scipy.stats.norm only"),
    (links.Probit(dbn=st.cauchy), "scipy.stats.norm only"),
    (links.CDFLink(dbn=st.logistic), "scipy.stats.norm or scipy.stats.cauchy only"),
    (links.CDFLink(dbn=st.t(5)), "CDFLink link"),
])
def test_cdf_links_of_other_distributions_are_refused(link, named):
    res = glm(link)
    with pytest.raises(ValueError, match=named) as error:
        margins(res)
    # The message names the distribution the link holds.
    assert "dbn=" in str(error.value) and "Supported:" in str(error.value)
